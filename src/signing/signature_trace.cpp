#include "signing/signature_trace.h"

#include <cryptopp/sha.h>

#include "support/hex.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::size_t kShownDigestBytes = 8;  // 16 hex digits

SignatureObserver installedObserver;

}  // namespace

SignatureRecord signatureRecord(std::string site, std::string certificate, const std::uint8_t* data,
                                std::size_t size) {
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, data, size);
    return {std::move(site), std::move(certificate), size,
            bytesToHex(digest, kShownDigestBytes).value_or(std::string())};
}

std::string signatureTraceText(const SignatureRecord& record) {
    const std::string site = record.site.empty() ? "a local program" : record.site;
    return "Signed for " + site + " with the certificate \"" + record.certificate +
           "\": " + std::to_string(record.dataSize) + " bytes of data, SHA-256 " +
           record.sha256Prefix;
}

void setSignatureObserver(SignatureObserver observer) {
    installedObserver = std::move(observer);
}

void traceSignature(const SignatureRecord& record) {
    writeLog(signatureTraceText(record));
    if (installedObserver) installedObserver(record);
}

}  // namespace quillmark
