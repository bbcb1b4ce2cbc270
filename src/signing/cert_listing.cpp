#include "signing/cert_listing.h"

#include "keystore/cert_contents.h"
#include "keystore/cert_search.h"
#include "signing/step_failure.h"
#include "support/hex.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::size_t kMaxNameUnits = 127;
constexpr std::size_t kMaxNameBytes = 255;

// Bytes in a UTF-8 sequence that starts with this byte (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xf0) return 4;
    if (lead >= 0xe0) return 3;
    if (lead >= 0xc0) return 2;
    return 1;
}

StoreFailure storeFailure(StoreStep step) {
    const StoreFailure failure{step, lastNssError()};
    logStepFailure(storeFailureText(step), failure.code);
    return failure;
}

enum class Walk { Continue, Stop };

// Adds one certificate to the listing, unless its chain cannot be built. Stops the walk
// when the serial gives no text.
Walk listCertificate(CERTCertificate* certificate, CertificateListing& listing) {
    ListedCertificate entry;
    entry.name = fitDisplayName(displayName(certificate));
    if (!entry.name) writeLog("WideCharToMultiByte error");

    const auto serial = bytesToHex(serialNumberOf(certificate));
    if (!serial) {
        writeLog("convert serialNumberDataHex  error");
        return Walk::Stop;
    }
    entry.serial = *serial;

    const ChainPtr chain = buildChain(certificate);
    if (!chain) {
        writeLog("The chain could not be created.");
        return Walk::Continue;
    }
    for (int i = 0; i < chain->len; ++i)
        entry.chain.emplace_back(chain->certs[i].data, chain->certs[i].data + chain->certs[i].len);
    listing.certificates.push_back(std::move(entry));
    return Walk::Continue;
}

}  // namespace

const char* storeFailureText(StoreStep step) {
    switch (step) {
        case StoreStep::Root:
            return "CertOpenStore ROOT error";
        case StoreStep::Ca:
            return "CertOpenStore CA error";
        case StoreStep::My:
            break;
    }
    return "CertOpenStore MY error";
}

OptionalText fitDisplayName(const std::string& utf8Name) {
    std::size_t bytes = 0;
    std::size_t units = 0;
    while (bytes < utf8Name.size()) {
        const std::size_t length = sequenceLength(static_cast<unsigned char>(utf8Name[bytes]));
        const std::size_t needed = length == 4 ? 2 : 1;  // a surrogate pair in UTF-16
        if (units + needed > kMaxNameUnits || bytes + length > utf8Name.size()) break;
        units += needed;
        bytes += length;
    }
    if (bytes > kMaxNameBytes) return std::nullopt;
    return utf8Name.substr(0, bytes);
}

CertificateListing listCertificates(CertificateStore& store) {
    CertificateListing listing;
    // NSS keeps trust anchors and CA certificates in the user's database, not in stores of
    // their own: opening ROOT and CA means making sure the database has its place.
    if (!preparePkiDirectory()) {
        listing.failure = storeFailure(StoreStep::Root);
        return listing;
    }
    if (!prepareDatabaseDirectory()) {
        listing.failure = storeFailure(StoreStep::Ca);
        return listing;
    }
    clearNssError();
    const CertificateListPtr listed =
        openUserDatabase(store) ? listUserCertificates(store) : nullptr;
    if (!listed) {
        listing.failure = storeFailure(StoreStep::My);
        return listing;
    }
    for (CERTCertificate* certificate : certificatesOf(listed.get())) {
        ++listing.visited;
        if (listCertificate(certificate, listing) == Walk::Stop) break;
    }
    return listing;
}

}  // namespace quillmark
