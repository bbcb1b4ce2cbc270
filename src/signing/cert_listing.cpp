#include "signing/cert_listing.h"

#include "platform/cert_store.h"
#include "platform/nss_database.h"
#include "signing/step_failure.h"
#include "support/base64.h"
#include "support/hex.h"
#include "support/json.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::size_t kMaxNameUnits = 127;
constexpr std::size_t kMaxNameBytes = 255;

constexpr StepFailure kRootFailure{"CertOpenStore ROOT error", "CertOpenStore ROOT error"};
constexpr StepFailure kCaFailure{"CertOpenStore CA error", "CertOpenStore CA error"};
constexpr StepFailure kMyFailure{"CertOpenStore MY error", "CertOpenStore MY error"};

// Bytes in a UTF-8 sequence that starts with this byte (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xf0) return 4;
    if (lead >= 0xe0) return 3;
    if (lead >= 0xc0) return 2;
    return 1;
}

// The Base64 DER of every certificate in the chain, leaf first.
JsonPtr chainArray(const CERTCertificateList& chain) {
    JsonPtr array(cJSON_CreateArray());
    for (int i = 0; array && i < chain.len; ++i) {
        if (const auto text = base64Encode(chain.certs[i].data, chain.certs[i].len))
            cJSON_AddItemToArray(array.get(), cJSON_CreateString(text->c_str()));
    }
    return array;
}

enum class Walk { Continue, Stop };

// Adds one certificate's entry to `certs`, unless its chain cannot be built. Stops the walk
// when the serial gives no text.
Walk listCertificate(CERTCertificate* certificate, cJSON* certs) {
    JsonPtr entry(cJSON_CreateObject());
    if (!entry) return Walk::Continue;
    if (const auto name = fitDisplayName(displayName(certificate)))
        cJSON_AddItemToObject(entry.get(), "name", cJSON_CreateString(name->c_str()));
    else
        writeLog("WideCharToMultiByte error");

    const auto serial = bytesToHex(serialNumberOf(certificate));
    if (!serial) {
        writeLog("convert serialNumberDataHex  error");
        return Walk::Stop;
    }
    cJSON_AddItemToObject(entry.get(), "serialNumber", cJSON_CreateString(serial->c_str()));

    const ChainPtr chain = buildChain(certificate);
    if (!chain) {
        writeLog("The chain could not be created.");
        return Walk::Continue;
    }
    cJSON_AddItemToObject(entry.get(), "certChains", chainArray(*chain).release());
    cJSON_AddItemToArray(certs, entry.release());
    return Walk::Continue;
}

// Walks the personal store; returns how many certificates were visited.
int listPersonalStore(const CERTCertList* store, cJSON* certs) {
    int visited = 0;
    for (CERTCertificate* certificate : certificatesOf(store)) {
        ++visited;
        if (listCertificate(certificate, certs) == Walk::Stop) break;
    }
    return visited;
}

}  // namespace

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

OptionalText handleGetCerts() {
    JsonPtr reply = newReply("getCerts");
    if (!reply) return std::nullopt;
    cJSON* certs = cJSON_CreateArray();
    cJSON_AddItemToObject(reply.get(), "certs", certs);

    int visited = 0;
    // NSS keeps trust anchors and CA certificates in the user's database, not in stores of
    // their own: opening ROOT and CA means making sure the database has its place.
    if (!preparePkiDirectory()) {
        reportStepFailure(reply.get(), kRootFailure, lastNssError());
    } else if (!prepareDatabaseDirectory()) {
        reportStepFailure(reply.get(), kCaFailure, lastNssError());
    } else {
        clearNssError();
        const CertificateListPtr store = openUserDatabase() ? listUserCertificates() : nullptr;
        if (store)
            visited = listPersonalStore(store.get(), certs);
        else
            reportStepFailure(reply.get(), kMyFailure, lastNssError());
    }
    cJSON_AddItemToObject(reply.get(), "size", cJSON_CreateNumber(visited));
    return printJson(reply.get());
}

}  // namespace quillmark
