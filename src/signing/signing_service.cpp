#include "signing/signing_service.h"

#include "platform/cert_store.h"
#include "platform/nss_database.h"
#include "signing/step_failure.h"
#include "support/base64.h"
#include "support/hex.h"
#include "support/json.h"
#include "support/log_file.h"
#include "support/payload_cipher.h"

namespace quillmark {
namespace {

constexpr char kSha256WithRsa[] = "1.2.840.113549.1.1.11";
constexpr char kMissingData[] = "missing data to sign";

enum class Output { Raw, Cms };

// The store texts are swapped between the two operations on purpose: pages match on them.
constexpr StepFailure kStoreFailureRaw{"The store was not opened.", "The store was not opened"};
constexpr StepFailure kStoreFailureCms{"The store was not opened", "The store was not opened."};
constexpr StepFailure kPrivateKeyFailure{"CryptAcquireCertificatePrivateKey error",
                                         "Get private key error"};
constexpr StepFailure kCreateHashFailure{"CryptCreateHash error", "create hash error"};
constexpr StepFailure kHashFailure{"CryptHashData error", "Hash error"};
constexpr StepFailure kSignatureLengthFailure{"CryptSignHash error", "Sign hash error"};
constexpr StepFailure kSignatureMemoryFailure{"Memory allocation error",
                                              "Memory allocation error while signing."};
constexpr StepFailure kSignFailure{"Error during CryptSignHash.", "Error during CryptSignHash."};
constexpr StepFailure kMessageFailure{"Getting signed BLOB size failed",
                                      "Getting signed BLOB size failed"};
constexpr StepFailure kEncodeFailure{"Error getting signed BLOB", "Error getting signed BLOB"};

void logBlock(const char* heading, const Bytes& bytes) {
    writeLog(heading);
    writeLogData(bytes.data(), bytes.size());
    writeLog("\n");
}

// The bytes to hash, or no result when there is no data or it does not decode or decipher.
// The raw operation traces Base64 input.
OptionalBytes decodeData(const char* dataHex, const char* dataBase64, bool secure, Output output) {
    const bool traced = output == Output::Raw && dataBase64 != nullptr;
    OptionalBytes data;
    if (dataBase64 != nullptr) {
        if (traced) {
            writeLog("database64\n");
            writeLog(dataBase64);
            writeLog("\n");
        }
        data = base64Decode(dataBase64);
    } else if (dataHex != nullptr) {
        data = hexToBytes(dataHex);
    }
    if (data && secure) data = decryptPayload(*data);
    if (data && traced) logBlock("database64 decrypt\n", *data);
    return data;
}

// The first user certificate whose serial text equals `serialNumber`, case included: only
// the exact text bytesToHex makes of a serial names it.
CertificatePtr findBySerial(const char* serialNumber) {
    const OptionalBytes serial = hexToBytes(serialNumber);
    if (!serial || bytesToHex(*serial) != serialNumber) return nullptr;
    return findUserCertificate(*serial);
}

HashAlgorithm hashFor(const CERTCertificate* certificate) {
    return signatureAlgorithmOid(certificate) == kSha256WithRsa ? HashAlgorithm::Sha256
                                                                : HashAlgorithm::Sha1;
}

// Runs one step; on failure reports it in the reply with the code NSS left.
template <typename Step>
auto runStep(cJSON* reply, const StepFailure& failure, Step step) -> decltype(step()) {
    clearNssError();
    auto result = step();
    if (!result) reportStepFailure(reply, failure, lastNssError());
    return result;
}

// The signature of the data's hash with the certificate's key, most significant byte first.
OptionalBytes signData(cJSON* reply, CERTCertificate* certificate, HashAlgorithm algorithm,
                       const Bytes& data) {
    const PinPromptContext prompt{std::string(), displayName(certificate)};
    const PrivateKeyPtr key =
        runStep(reply, kPrivateKeyFailure, [&] { return findPrivateKey(certificate, &prompt); });
    if (!key) return std::nullopt;
    const DigestPtr digest =
        runStep(reply, kCreateHashFailure, [&] { return createDigest(algorithm); });
    if (!digest) return std::nullopt;
    const OptionalBytes hash =
        runStep(reply, kHashFailure, [&] { return digestData(digest.get(), data); });
    if (!hash) return std::nullopt;
    const unsigned length =
        runStep(reply, kSignatureLengthFailure, [&] { return signatureLength(certificate); });
    if (length == 0) return std::nullopt;
    OptionalBytes signature =
        runStep(reply, kSignatureMemoryFailure, [&] { return allocateSignature(length); });
    if (!signature) return std::nullopt;
    const bool signed_ = runStep(
        reply, kSignFailure, [&] { return signDigest(key.get(), algorithm, *hash, *signature); });
    if (!signed_) return std::nullopt;
    return signature;
}

// The DER CMS message carrying the signature as its content, signed again by the certificate.
OptionalBytes signedMessage(cJSON* reply, CERTCertificate* certificate, HashAlgorithm algorithm,
                            const Bytes& signature) {
    const SignedMessagePtr message = runStep(
        reply, kMessageFailure, [&] { return createSignedMessage(certificate, algorithm); });
    if (!message) return std::nullopt;
    return runStep(reply, kEncodeFailure,
                   [&] { return encodeSignedMessage(message.get(), signature); });
}

void addSignedData(cJSON* reply, const Bytes& result, bool secure, Output output) {
    if (output == Output::Raw) logBlock("signedDataBase64 \n", result);
    const Bytes sent = secure ? encryptPayload(result) : result;
    const OptionalText text = base64Encode(sent);
    if (output == Output::Raw) logBlock("signedDataBase64 encrypt\n", sent);
    if (text) cJSON_AddItemToObject(reply, "signedData", cJSON_CreateString(text->c_str()));
}

OptionalText handleSign(Output output, const char* dataHex, const char* dataBase64,
                        const char* serialNumber, bool secure) {
    const OptionalBytes data = decodeData(dataHex, dataBase64, secure, output);
    JsonPtr reply = newReply("sign");
    if (!reply) return std::nullopt;
    if (!data) {
        cJSON_AddItemToObject(reply.get(), "error", cJSON_CreateString(kMissingData));
        return printJson(reply.get());
    }

    const StepFailure& storeFailure = output == Output::Raw ? kStoreFailureRaw : kStoreFailureCms;
    if (!runStep(reply.get(), storeFailure, openPersonalStore)) return printJson(reply.get());
    const CertificatePtr found = findBySerial(serialNumber);
    if (!found) return printJson(reply.get());
    CERTCertificate* certificate = found.get();

    const HashAlgorithm algorithm = hashFor(certificate);
    const OptionalBytes signature = signData(reply.get(), certificate, algorithm, *data);
    if (!signature) return printJson(reply.get());
    if (output == Output::Raw) {
        addSignedData(reply.get(), *signature, secure, output);
    } else {
        const OptionalBytes message =
            signedMessage(reply.get(), certificate, algorithm, *signature);
        if (message) addSignedData(reply.get(), *message, secure, output);
    }
    return printJson(reply.get());
}

}  // namespace

OptionalText handleSignRaw(const char* dataHex, const char* dataBase64, const char* serialNumber,
                           bool secure) {
    return handleSign(Output::Raw, dataHex, dataBase64, serialNumber, secure);
}

OptionalText handleSignCms(const char* dataHex, const char* dataBase64, const char* serialNumber,
                           bool secure) {
    return handleSign(Output::Cms, dataHex, dataBase64, serialNumber, secure);
}

}  // namespace quillmark
