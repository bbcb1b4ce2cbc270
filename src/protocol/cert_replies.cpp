#include "protocol/cert_replies.h"

#include "support/base64.h"
#include "support/json.h"

namespace quillmark {
namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// `error` and `errorCode`, the code as an unsigned 32-bit number.
void addError(cJSON* reply, const char* text, NssErrorCode code) {
    cJSON_AddItemToObject(reply, "error", cJSON_CreateString(text));
    cJSON_AddItemToObject(reply, "errorCode", cJSON_CreateNumber(static_cast<double>(code)));
}

JsonPtr certificateEntry(const ListedCertificate& certificate) {
    JsonPtr entry(cJSON_CreateObject());
    if (!entry) return nullptr;
    if (certificate.name)
        cJSON_AddItemToObject(entry.get(), "name", cJSON_CreateString(certificate.name->c_str()));
    cJSON_AddItemToObject(entry.get(), "serialNumber",
                          cJSON_CreateString(certificate.serial.c_str()));
    cJSON* chain = cJSON_CreateArray();
    for (std::size_t i = 0; chain != nullptr && i < certificate.chain.size(); ++i) {
        if (const auto text = base64Encode(certificate.chain[i]))
            cJSON_AddItemToArray(chain, cJSON_CreateString(text->c_str()));
    }
    cJSON_AddItemToObject(entry.get(), "certChains", chain);
    return entry;
}

}  // namespace

OptionalText certificateListReply(const CertificateListing& listing) {
    JsonPtr reply = newReply("getCerts");
    if (!reply) return std::nullopt;
    cJSON* certs = cJSON_CreateArray();
    cJSON_AddItemToObject(reply.get(), "certs", certs);
    for (const ListedCertificate& certificate : listing.certificates) {
        if (JsonPtr entry = certificateEntry(certificate))
            cJSON_AddItemToArray(certs, entry.release());
    }
    if (listing.failure)
        addError(reply.get(), storeFailureText(listing.failure->step), listing.failure->code);
    cJSON_AddItemToObject(reply.get(), "size", cJSON_CreateNumber(listing.visited));
    return printJson(reply.get());
}

OptionalText signReply(SignOutput output, const SignResult& result) {
    JsonPtr reply = newReply(output == SignOutput::Xml ? "signXml" : "sign");
    if (!reply) return std::nullopt;
    std::visit(Overloaded{
                   [&](const Bytes& signedData) {
                       if (const OptionalText text = base64Encode(signedData))
                           cJSON_AddItemToObject(reply.get(), "signedData",
                                                 cJSON_CreateString(text->c_str()));
                   },
                   [&](const SignFailure& failure) {
                       addError(reply.get(), stepTexts(failure.step, output).reply, failure.code);
                   },
                   [&](MissingData) {
                       cJSON_AddItemToObject(reply.get(), "error",
                                             cJSON_CreateString("missing data to sign"));
                   },
                   [](NoCertificate) {},
                   [&](const XmlRefusal& refusal) {
                       const std::string text = "invalid XML: " + refusal.reason;
                       cJSON_AddItemToObject(reply.get(), "error",
                                             cJSON_CreateString(text.c_str()));
                   },
               },
               result);
    return printJson(reply.get());
}

}  // namespace quillmark
