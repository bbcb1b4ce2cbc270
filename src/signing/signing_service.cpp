#include "signing/signing_service.h"

#include <secerr.h>

#include "keystore/cert_search.h"
#include "keystore/cert_signing.h"
#include "signing/signature_trace.h"
#include "signing/step_failure.h"
#include "support/base64.h"
#include "support/hex.h"
#include "support/log_file.h"
#include "support/payload_cipher.h"

namespace quillmark {
namespace {

constexpr char kSha256WithRsa[] = "1.2.840.113549.1.1.11";

// Bytes held elsewhere: in the request's own text or in a buffer of the sign operation.
struct ByteRange {
    std::uint8_t* data;
    std::size_t size;
};

void logBlock(const char* heading, const std::uint8_t* bytes, std::size_t count) {
    writeLog(heading);
    writeLogData(bytes, count);
    writeLog("\n");
}

void logBlock(const char* heading, const Bytes& bytes) {
    logBlock(heading, bytes.data(), bytes.size());
}

std::optional<ByteRange> decodeBase64(const SignRequest& request, Bytes& storage) {
    std::uint8_t* out = request.decodeTo;
    if (out == nullptr) {
        storage.resize(request.dataBase64.size() / 4 * 3);
        out = storage.data();
    }
    const auto count = base64DecodeInto(request.dataBase64, out);
    if (!count) return std::nullopt;
    return ByteRange{out, *count};
}

// The bytes to hash, or no result when there is no data or it does not decode or decipher.
// They are deciphered where they lie, in the request's text or in `storage`. The raw
// operation traces Base64 input.
std::optional<ByteRange> decodeData(const SignRequest& request, Bytes& storage) {
    const bool hasBase64 = request.dataBase64.data() != nullptr;
    const bool traced = request.output == SignOutput::Raw && hasBase64;
    std::optional<ByteRange> data;
    if (hasBase64) {
        if (traced) {
            writeLog("database64\n");
            writeLog(request.dataBase64);
            writeLog("\n");
        }
        data = decodeBase64(request, storage);
    } else if (request.dataHex != nullptr) {
        if (OptionalBytes bytes = hexToBytes(request.dataHex)) {
            storage = std::move(*bytes);
            data = ByteRange{storage.data(), storage.size()};
        }
    }
    if (data && request.secure) {
        const auto plainSize = decryptPayloadInPlace(data->data, data->size);
        if (plainSize)
            data->size = *plainSize;
        else
            data.reset();
    }
    if (data && traced) logBlock("database64 decrypt\n", data->data, data->size);
    return data;
}

// The first user certificate whose serial text equals `serialNumber`, case included: only
// the exact text bytesToHex makes of a serial names it.
CertificatePtr findBySerial(CertificateStore& store, const char* serialNumber) {
    const OptionalBytes serial = hexToBytes(serialNumber);
    if (!serial || bytesToHex(*serial) != serialNumber) return nullptr;
    return findUserCertificate(store, *serial);
}

HashAlgorithm hashFor(const CERTCertificate* certificate) {
    return signatureAlgorithmOid(certificate) == kSha256WithRsa ? HashAlgorithm::Sha256
                                                                : HashAlgorithm::Sha1;
}

// Runs the steps of one request, each with the NSS code cleared first; the first step that
// fails is logged and kept.
class StepRunner {
  public:
    explicit StepRunner(SignOutput output) : output_(output) {}

    template <typename Step>
    auto run(SignStep id, Step step) -> decltype(step()) {
        clearNssError();
        auto result = step();
        if (!result) {
            failure_ = SignFailure{id, lastNssError()};
            logStepFailure(stepTexts(id, output_).log, failure_->code);
        }
        return result;
    }

    const std::optional<SignFailure>& failure() const { return failure_; }

  private:
    SignOutput output_;
    std::optional<SignFailure> failure_;
};

// The certificate the request names, from the opened store; else the result that says why
// there is none.
std::variant<CertificatePtr, SignResult> namedCertificate(StepRunner& steps,
                                                          const SignRequest& request) {
    CertificateStore& store = request.store->store();
    if (!steps.run(SignStep::OpenStore, [&] { return openPersonalStore(store); }))
        return SignResult(*steps.failure());
    CertificatePtr found = findBySerial(store, request.serialNumber);
    if (!found) return SignResult(NoCertificate{});
    return found;
}

// What the request's PIN dialogs say: its site and the certificate.
PinPromptContext promptContext(const SignRequest& request, const CERTCertificate* certificate) {
    return PinPromptContext{std::string(request.origin), displayName(certificate)};
}

KeyType keyTypeOf(CERTCertificate* certificate) {
    const PublicKeyPtr key(CERT_ExtractPublicKey(certificate));
    return key ? SECKEY_GetPublicKeyType(key.get()) : nullKey;
}

// The template signed with the key. A key that asked for its PIN on the reader for this
// signature refuses it when that dialog was cancelled, as signDigest does.
bool signXmlWithKey(xmlNode* signature, SECKEYPrivateKey* key, CERTCertificate* certificate,
                    PinSession& session) {
    const bool made = signXmlTemplate(signature, key, certificate);
    if (!session.endKeyUseLogin()) {
        PORT_SetError(SEC_ERROR_BAD_PASSWORD);
        return false;
    }
    return made;
}

// The signature of the data's hash with the certificate's key, most significant byte first.
OptionalBytes signData(StepRunner& steps, CERTCertificate* certificate, HashAlgorithm algorithm,
                       ByteRange data, PinSession& session) {
    const PrivateKeyPtr key =
        steps.run(SignStep::PrivateKey, [&] { return findPrivateKey(certificate, session); });
    if (!key) return std::nullopt;
    const DigestPtr digest =
        steps.run(SignStep::CreateHash, [&] { return createDigest(algorithm); });
    if (!digest) return std::nullopt;
    const OptionalBytes hash =
        steps.run(SignStep::Hash, [&] { return digestData(digest.get(), data.data, data.size); });
    if (!hash) return std::nullopt;
    const unsigned length =
        steps.run(SignStep::SignatureLength, [&] { return signatureLength(certificate); });
    if (length == 0) return std::nullopt;
    OptionalBytes signature =
        steps.run(SignStep::SignatureMemory, [&] { return allocateSignature(length); });
    if (!signature) return std::nullopt;
    const bool signed_ = steps.run(SignStep::Sign, [&] {
        return signDigest(key.get(), algorithm, *hash, *signature, session);
    });
    if (!signed_) return std::nullopt;
    return signature;
}

// The DER CMS message carrying the signature as its content, signed again by the certificate.
// NSS looks the key up again here; a PIN it asks for then takes the request's dialog turn.
OptionalBytes signedMessage(StepRunner& steps, CERTCertificate* certificate,
                            HashAlgorithm algorithm, const Bytes& signature, PinSession& session) {
    const SignedMessagePtr message =
        steps.run(SignStep::Message, [&] { return createSignedMessage(certificate, algorithm); });
    if (!message) return std::nullopt;
    return steps.run(SignStep::Encode,
                     [&] { return encodeSignedMessage(message.get(), signature, session); });
}

// The failed step, with the outcome of the request's last PIN dialog.
SignFailure failureOf(const StepRunner& steps, const PinSession& session) {
    SignFailure failure = *steps.failure();
    failure.pinDialog = session.outcome;
    return failure;
}

// The bytes the reply carries; the raw operation traces them before and after encipherment.
Bytes replyBytes(const Bytes& result, const SignRequest& request) {
    const bool traced = request.output == SignOutput::Raw;
    if (traced) logBlock("signedDataBase64 \n", result);
    const Bytes sent = request.secure ? encryptPayload(result) : result;
    if (traced) logBlock("signedDataBase64 encrypt\n", sent);
    return sent;
}

}  // namespace

StepTexts stepTexts(SignStep step, SignOutput output) {
    const bool raw = output != SignOutput::Cms;  // XML fails as raw signing does
    switch (step) {
        case SignStep::OpenStore:
            return raw ? StepTexts{"The store was not opened.", "The store was not opened"}
                       : StepTexts{"The store was not opened", "The store was not opened."};
        case SignStep::PrivateKey:
            return {"CryptAcquireCertificatePrivateKey error", "Get private key error"};
        case SignStep::CreateHash:
            return {"CryptCreateHash error", "create hash error"};
        case SignStep::Hash:
            return {"CryptHashData error", "Hash error"};
        case SignStep::SignatureLength:
            return {"CryptSignHash error", "Sign hash error"};
        case SignStep::SignatureMemory:
            return {"Memory allocation error", "Memory allocation error while signing."};
        case SignStep::Sign:
            return {"Error during CryptSignHash.", "Error during CryptSignHash."};
        case SignStep::Message:
            return {"Getting signed BLOB size failed", "Getting signed BLOB size failed"};
        case SignStep::Encode:
            break;
    }
    return {"Error getting signed BLOB", "Error getting signed BLOB"};
}

SignResult sign(const SignRequest& request) {
    Bytes storage;
    const std::optional<ByteRange> data = decodeData(request, storage);
    if (!data) return MissingData{};

    StepRunner steps(request.output);
    auto named = namedCertificate(steps, request);
    if (auto* result = std::get_if<SignResult>(&named)) return std::move(*result);
    CERTCertificate* certificate = std::get<CertificatePtr>(named).get();

    // The request's PIN dialogs, for the key and for the CMS message, name its site and the
    // certificate.
    PinSession session{*request.store, promptContext(request, certificate), request.pinPrompter};
    OptionalBytes result = signData(steps, certificate, hashFor(certificate), *data, session);
    if (!result) return failureOf(steps, session);
    const SignatureRecord record = signatureRecord(
        std::string(request.origin), displayName(certificate), request.serialNumber,
        request.output == SignOutput::Cms ? kCmsSignature : kRawSignature, data->data, data->size);
    Bytes().swap(storage);  // the data's last use is over
    // The message's own digest follows the hash the certificate names.
    if (request.output == SignOutput::Cms)
        result = signedMessage(steps, certificate, certificateHash(certificate), *result, session);
    if (!result) return failureOf(steps, session);
    traceSignature(record, request.signatureObserver);
    return replyBytes(*result, request);
}

SignResult signXml(const SignRequest& request, const XmlSignatureOptions& options) {
    Bytes storage;
    const std::optional<ByteRange> data = decodeData(request, storage);
    if (!data) return MissingData{};
    auto parsed = XmlDocument::parse(data->data, data->size);
    if (auto* refusal = std::get_if<XmlRefusal>(&parsed)) return std::move(*refusal);
    XmlDocument& document = std::get<XmlDocument>(parsed);
    Bytes().swap(storage);  // the document's bytes live in its tree now

    StepRunner steps(request.output);
    auto named = namedCertificate(steps, request);
    if (auto* result = std::get_if<SignResult>(&named)) return std::move(*result);
    CERTCertificate* certificate = std::get<CertificatePtr>(named).get();
    auto signature =
        addSignatureTemplate(document, options, hashFor(certificate), keyTypeOf(certificate));
    if (auto* refusal = std::get_if<XmlRefusal>(&signature)) return std::move(*refusal);

    PinSession session{*request.store, promptContext(request, certificate), request.pinPrompter};
    const PrivateKeyPtr key =
        steps.run(SignStep::PrivateKey, [&] { return findPrivateKey(certificate, session); });
    if (!key) return failureOf(steps, session);
    const bool signed_ = steps.run(SignStep::Sign, [&] {
        return signXmlWithKey(std::get<xmlNode*>(signature), key.get(), certificate, session);
    });
    if (!signed_) return failureOf(steps, session);
    const OptionalBytes result =
        steps.run(SignStep::SignatureMemory, [&] { return document.serialised(); });
    if (!result) return failureOf(steps, session);
    traceSignature(
        signatureRecord(std::string(request.origin), displayName(certificate), request.serialNumber,
                        kXmlSignature, result->data(), result->size()),
        request.signatureObserver);
    return replyBytes(*result, request);
}

}  // namespace quillmark
