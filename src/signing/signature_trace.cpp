#include "signing/signature_trace.h"

#include <cryptopp/sha.h>

#include <ctime>

#include "signing/signature_journal.h"
#include "support/hex.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::size_t kShownDigestDigits = 16;

std::string localTimeNow() {
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    char text[64];
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
        return {};
    return text;
}

}  // namespace

SignatureRecord signatureRecord(std::string site, std::string certificate, std::string serial,
                                std::string kind, const std::uint8_t* data, std::size_t size) {
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, data, size);
    return {localTimeNow(),
            std::move(site),
            std::move(certificate),
            std::move(serial),
            std::move(kind),
            size,
            bytesToHex(digest, sizeof digest).value_or(std::string())};
}

std::string shortDigest(const SignatureRecord& record) {
    return record.sha256.substr(0, kShownDigestDigits);
}

std::string signatureTraceText(const SignatureRecord& record) {
    const std::string site = record.site.empty() ? "a local program" : record.site;
    return "Signed for " + site + " with the certificate \"" + record.certificate +
           "\": " + std::to_string(record.dataSize) + " bytes of data, SHA-256 " +
           shortDigest(record);
}

void traceSignature(const SignatureRecord& record, const SignatureObserver* observer) {
    writeLog(signatureTraceText(record));
    // A journal that cannot be written does not hold back the signature the user allowed: the
    // log says so, and the reply goes out as it would have.
    if (!journalSignature(record))
        writeLog("The signature could not be kept in " + signatureJournalPath());
    if (observer != nullptr && *observer) (*observer)(record);
}

}  // namespace quillmark
