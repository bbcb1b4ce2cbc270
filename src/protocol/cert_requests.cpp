#include "protocol/cert_requests.h"

#include <secerr.h>

#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include "consent/consent_gate.h"
#include "desktop/foreground_window.h"
#include "keystore/certificate_store.h"
#include "keystore/nss_database.h"
#include "keystore/pin_prompter.h"
#include "protocol/cert_replies.h"
#include "protocol/site_failures.h"
#include "signing/step_failure.h"
#include "support/json.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::string_view kStartMarker = "\"dataBase64\":\"";
constexpr std::string_view kEndMarker = "\",\"cms\"";
// A refused site gets the code of a cancelled PIN, which pages already handle.
constexpr NssErrorCode kRefusedCode = static_cast<NssErrorCode>(SEC_ERROR_BAD_PASSWORD);

// Where the sign operation finds the Base64 data. HTTP takes the member's value and decodes it
// where it lies in the parsed request; WebSocket takes the raw text extraction, and frees the
// member's own copy first, as it is never read.
void takeBase64Data(cJSON* request, cJSON* dataBase64, std::string_view extracted,
                    Endpoint endpoint, SignRequest& sign) {
    if (endpoint == Endpoint::WebSocket) {
        cJSON_DeleteItemFromObject(request, "dataBase64");
        // A text without the start marker extracts as empty data, which is still data.
        sign.dataBase64 = extracted.data() != nullptr ? extracted : std::string_view("");
        return;
    }
    char* text = cJSON_IsString(dataBase64) ? dataBase64->valuestring : nullptr;
    if (text == nullptr) return;
    sign.dataBase64 = text;
    sign.decodeTo = reinterpret_cast<std::uint8_t*>(text);
}

OptionalText refusedSign(SignOutput output) {
    const SignFailure failure{SignStep::PrivateKey, kRefusedCode};
    logStepFailure(stepTexts(failure.step, output).log, failure.code);
    return signReply(output, failure);
}

// The question the site would be asked. Whether the store has a password is looked up only
// when a dialog would show: a site served or refused without one does not open the store.
ConsentQuestion consentQuestion(const RequestContext& context) {
    ConsentQuestion question{std::string(context.origin), context.request};
    if (context.store != nullptr && needsConsent(context.origin))
        question.storeWithoutPassword = storeWithoutPassword(context.store->store());
    return question;
}

// Whether the site may go on; a refusal, or a question no one answered, is recorded.
bool consentRecorded(const RequestContext& context) {
    const std::string_view origin = context.origin;
    ConsentPrompter* prompter = context.services ? context.services->consentPrompter : nullptr;
    const ConsentAnswer answer = consentAnswer(origin, consentQuestion(context), prompter);
    if (answer == ConsentAnswer::Deny) recordSiteFailure(origin, SiteFailure::RefusedByUser);
    if (answer == ConsentAnswer::NoAnswer) recordSiteFailure(origin, SiteFailure::NoDialog);
    return answer == ConsentAnswer::Allow;
}

// What a failed sign tells of its cause. A private key not had is explained by the request's
// last PIN dialog: cancelled, not shown, or answered with a PIN the token refused; without a
// dialog the key or its token was not there. So is a signature refused for its PIN (a key
// that asks for it at each use).
SiteFailure signFailure(const SignResult& result) {
    if (std::holds_alternative<NoCertificate>(result)) return SiteFailure::NotFound;
    const SignFailure* failure = std::get_if<SignFailure>(&result);
    if (failure == nullptr) return SiteFailure::None;
    const bool refusedForItsPin = failure->code == kRefusedCode;  // a PIN's code
    if (failure->step != SignStep::PrivateKey && !refusedForItsPin) return SiteFailure::None;
    switch (failure->pinDialog) {
        case PinDialogOutcome::Cancelled:
            return SiteFailure::PinCancelled;
        case PinDialogOutcome::NotShown:
            return SiteFailure::NoDialog;
        case PinDialogOutcome::Answered:
            return SiteFailure::WrongPin;
        case PinDialogOutcome::NotAsked:
            break;
    }
    return SiteFailure::NotFound;
}

// A sign request of the context's site, through its store and services, data still to be set.
SignRequest signRequestFor(const RequestContext& context, const char* serialNumber, bool secure,
                           SignOutput output) {
    const RequestServices* services = context.services;
    return SignRequest{nullptr,
                       {},
                       nullptr,
                       serialNumber,
                       secure,
                       output,
                       context.origin,
                       context.store,
                       services ? services->pinPrompter : nullptr,
                       services ? &services->signatureObserver : nullptr};
}

// Signs, records the site's failure if there is one, and gives the reply.
template <typename Signing>
OptionalText recordedSign(const SignRequest& request, Signing signing) {
    const SignResult result = signing();
    if (const SiteFailure failure = signFailure(result); failure != SiteFailure::None)
        recordSiteFailure(request.origin, failure);
    return signReply(request.output, result);
}

// The sign request's reply, or none.
OptionalText replyToSign(cJSON* request, std::string_view requestText,
                         const RequestContext& context) {
    const bool webSocket = context.endpoint == Endpoint::WebSocket;
    const char* serialNumber = stringMember(request, "serialNumber");
    const bool cms = flagIsSet(cJSON_GetObjectItem(request, "cms"));
    cJSON* dataBase64 = cJSON_GetObjectItem(request, "dataBase64");
    const cJSON* dataHex = cJSON_GetObjectItem(request, "dataHex");
    const bool secure = webSocket || flagIsSet(cJSON_GetObjectItem(request, "secure"));

    const std::string_view extracted = extractDataBase64Text(requestText);
    writeLog("string database64Str ");
    writeLog(extracted);

    if (serialNumber == nullptr || (dataBase64 == nullptr && dataHex == nullptr))
        return std::nullopt;
    const SignOutput output = cms ? SignOutput::Cms : SignOutput::Raw;
    // Asked before anything else, so that the reply tells a site not allowed nothing of the
    // serials the user has.
    if (!consentRecorded(context)) return refusedSign(output);
    SignRequest sign = signRequestFor(context, serialNumber, secure, output);
    if (dataBase64 != nullptr)
        takeBase64Data(request, dataBase64, extracted, context.endpoint, sign);
    else
        sign.dataHex = stringValue(dataHex);
    return recordedSign(sign, [&] { return quillmark::sign(sign); });
}

// A string member, absent as empty; false when present as anything else.
bool readText(const cJSON* request, const char* name, std::string& text) {
    const cJSON* item = cJSON_GetObjectItem(request, name);
    if (item == nullptr) return true;
    if (!cJSON_IsString(item)) return false;
    text = item->valuestring;
    return true;
}

// The signXml request's options, or the first one that is not as documented.
std::variant<XmlSignatureOptions, XmlRefusal> xmlOptions(const cJSON* request) {
    XmlSignatureOptions options;
    for (auto [name, text] : {std::pair{"referenceId", &options.referenceId},
                              std::pair{"parentPath", &options.parentPath},
                              std::pair{"signatureId", &options.signatureId}}) {
        if (!readText(request, name, *text))
            return XmlRefusal{std::string(name) + " must be a string"};
    }
    if (const cJSON* signingTime = cJSON_GetObjectItem(request, "signingTime"))
        options.signingTime = flagIsSet(signingTime);
    std::string canonicalization;
    if (!readText(request, "canonicalization", canonicalization) ||
        (!canonicalization.empty() && canonicalization != "exclusive" &&
         canonicalization != "inclusive"))
        return XmlRefusal{"canonicalization must be \"inclusive\" or \"exclusive\""};
    options.exclusive = canonicalization == "exclusive";
    return options;
}

// The signXml request's reply. The document and the options are read from the JSON members
// over both endpoints; over WebSocket, as for sign, the document always arrives enciphered.
OptionalText replyToSignXml(cJSON* request, const RequestContext& context) {
    const char* serialNumber = stringMember(request, "serialNumber");
    cJSON* xmlBase64 = cJSON_GetObjectItem(request, "xmlBase64");
    const bool secure = context.endpoint == Endpoint::WebSocket ||
                        flagIsSet(cJSON_GetObjectItem(request, "secure"));
    if (serialNumber == nullptr) return signReply(SignOutput::Xml, NoCertificate{});
    if (!cJSON_IsString(xmlBase64)) return signReply(SignOutput::Xml, MissingData{});
    auto options = xmlOptions(request);
    if (auto* refusal = std::get_if<XmlRefusal>(&options))
        return signReply(SignOutput::Xml, *refusal);
    if (!consentRecorded(context)) return refusedSign(SignOutput::Xml);
    SignRequest sign = signRequestFor(context, serialNumber, secure, SignOutput::Xml);
    sign.dataBase64 = xmlBase64->valuestring;
    sign.decodeTo = reinterpret_cast<std::uint8_t*>(xmlBase64->valuestring);
    return recordedSign(sign,
                        [&] { return signXml(sign, std::get<XmlSignatureOptions>(options)); });
}

// What a site the user did not allow is answered: what a cancelled PIN gives, at the step
// that failed, logged as that failure is.
OptionalText refusedCertificateList() {
    CertificateListing listing;
    listing.failure = StoreFailure{StoreStep::My, kRefusedCode};
    logStepFailure(storeFailureText(listing.failure->step), kRefusedCode);
    return certificateListReply(listing);
}

// Whether the site may see the certificates. A consent dialog may take the focus: the window the
// user was in then gets it back.
bool certificatesAllowed(const RequestContext& context) {
    if (!needsConsent(context.origin)) return consentRecorded(context);
    const ForegroundWindow foreground = ForegroundWindow::remember();
    const bool given = consentRecorded(context);
    foreground.restore();
    return given;
}

// A consent or PIN dialog may take the focus while the key is used: the window the user was in
// gets it back before the reply goes out, whether or not anything was signed.
template <typename Reply>
OptionalText givingFocusBack(Reply reply) {
    const ForegroundWindow foreground = ForegroundWindow::remember();
    OptionalText text = reply();
    foreground.restore();
    return text;
}

}  // namespace

OptionalText handleGetCertsRequest(const RequestContext& context) {
    if (!certificatesAllowed(context)) return refusedCertificateList();
    return certificateListReply(listCertificates(context.store->store()));
}

std::string_view extractDataBase64Text(std::string_view requestText) {
    const std::size_t start = requestText.find(kStartMarker);
    if (start == std::string_view::npos) return {};
    const std::size_t payload = start + kStartMarker.size();
    const std::size_t end = requestText.find(kEndMarker);
    const std::size_t length =
        end != std::string_view::npos && end >= payload ? end - payload : std::string_view::npos;
    return requestText.substr(payload, length);
}

bool flagIsSet(const cJSON* item) {
    if (cJSON_IsTrue(item)) return true;
    return cJSON_IsNumber(item) && std::fabs(item->valuedouble) >= 1.0;
}

OptionalText handleSignRequest(cJSON* request, std::string_view requestText,
                               const RequestContext& context) {
    return givingFocusBack([&] { return replyToSign(request, requestText, context); });
}

OptionalText handleSignXmlRequest(cJSON* request, const RequestContext& context) {
    return givingFocusBack([&] { return replyToSignXml(request, context); });
}

}  // namespace quillmark
