// The bare NSS work that the agent's signing and listing are measured against, with no HTTP,
// JSON, codecs or log: built and run by bench/signing.
//
//   signing_baseline sign DBDIR SERIALHEX DATAFILE SECONDS   hash and sign the data with the
//                                                            key found once
//   signing_baseline lookup DBDIR SERIALHEX DATAFILE SECONDS find the certificate by serial on
//                                                            every token and its key afresh,
//                                                            then hash and sign, each time
//   signing_baseline list DBDIR SECONDS                      list user certificates, build chains
//
// A token's PIN, when one is needed, comes from the BENCH_TOKEN_PIN environment variable.
//
// Prints the operations per second.
#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <pkcs11.h>
#include <secoid.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string serialText(const CERTCertificate* certificate) {
    std::string text;
    char digits[3];
    for (unsigned i = 0; i < certificate->serialNumber.len; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", certificate->serialNumber.data[i]);
        text += digits;
    }
    return text;
}

template <typename Operation>
double operationsPerSecond(double seconds, Operation operation) {
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    long count = 0;
    for (; Clock::now() < end; ++count) {
        if (!operation()) {
            std::fprintf(stderr, "operation failed: %d\n", PORT_GetError());
            std::exit(1);
        }
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

bool listAndChain() {
    CERTCertList* list = PK11_ListCerts(PK11CertListUser, nullptr);
    if (list == nullptr) return false;
    for (CERTCertListNode* node = CERT_LIST_HEAD(list); !CERT_LIST_END(node, list);
         node = CERT_LIST_NEXT(node)) {
        CERTCertificateList* chain =
            CERT_CertChainFromCert(node->cert, certUsageEmailSigner, PR_TRUE);
        if (chain == nullptr) return false;
        CERT_DestroyCertificateList(chain);
    }
    CERT_DestroyCertList(list);
    return true;
}

SECKEYPrivateKey* keyOf(const std::string& serial) {
    CERTCertList* list = PK11_ListCerts(PK11CertListUser, nullptr);
    SECKEYPrivateKey* key = nullptr;
    for (CERTCertListNode* node = CERT_LIST_HEAD(list);
         key == nullptr && !CERT_LIST_END(node, list); node = CERT_LIST_NEXT(node)) {
        if (serialText(node->cert) == serial) key = PK11_FindKeyByAnyCert(node->cert, nullptr);
    }
    CERT_DestroyCertList(list);
    return key;
}

bool hashAndSign(SECKEYPrivateKey* key, const std::vector<unsigned char>& data) {
    unsigned char digest[32];
    if (PK11_HashBuf(SEC_OID_SHA256, digest, data.data(), static_cast<PRInt32>(data.size())) !=
        SECSuccess) {
        return false;
    }
    SECItem digestItem{siBuffer, digest, sizeof digest};
    SECItem signature{siBuffer, nullptr, 0};
    if (SGN_Digest(key, SEC_OID_SHA256, &signature, &digestItem) != SECSuccess) return false;
    SECITEM_FreeItem(&signature, PR_FALSE);
    return true;
}

// The certificate's serial as the DER INTEGER that CKA_SERIAL_NUMBER holds.
std::vector<unsigned char> serialAttribute(const std::string& serialHex) {
    std::vector<unsigned char> content;
    for (std::size_t i = 0; i + 1 < serialHex.size(); i += 2)
        content.push_back(
            static_cast<unsigned char>(std::stoul(serialHex.substr(i, 2), nullptr, 16)));
    std::vector<unsigned char> integer{0x02, static_cast<unsigned char>(content.size())};
    integer.insert(integer.end(), content.begin(), content.end());
    return integer;
}

// The user certificate with that serial on one token: one PKCS #11 search by class and serial,
// then the certificate object NSS makes of the found encoding.
CERTCertificate* userCertificateOn(PK11SlotInfo* slot, std::vector<unsigned char>& serial) {
    auto* functions = static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList);
    CK_SESSION_HANDLE session;
    if (functions->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                 &session) != CKR_OK) {
        return nullptr;
    }
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                             {CKA_SERIAL_NUMBER, serial.data(), serial.size()}};
    CK_OBJECT_HANDLE object;
    CK_ULONG count = 0;
    CERTCertificate* certificate = nullptr;
    if (functions->C_FindObjectsInit(session, search, 2) == CKR_OK) {
        functions->C_FindObjects(session, &object, 1, &count);
        functions->C_FindObjectsFinal(session);
    }
    std::vector<unsigned char> der(8192);
    CK_ATTRIBUTE value{CKA_VALUE, der.data(), der.size()};
    if (count == 1 && functions->C_GetAttributeValue(session, object, &value, 1) == CKR_OK) {
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(value.ulValueLen)};
        certificate =
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE);
        if (certificate != nullptr && !CERT_IsUserCert(certificate)) {
            CERT_DestroyCertificate(certificate);
            certificate = nullptr;
        }
    }
    functions->C_CloseSession(session);
    return certificate;
}

// What a request needs before it hashes: the present tokens, the certificate by its serial
// on each, and its private key.
SECKEYPrivateKey* lookUpKey(std::vector<unsigned char>& serial) {
    PK11SlotList* slots = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
    SECKEYPrivateKey* key = nullptr;
    for (PK11SlotListElement* element = slots != nullptr ? slots->head : nullptr;
         key == nullptr && element != nullptr; element = element->next) {
        if (CERTCertificate* certificate = userCertificateOn(element->slot, serial)) {
            key = PK11_FindPrivateKeyFromCert(element->slot, certificate, nullptr);
            CERT_DestroyCertificate(certificate);
        }
    }
    if (slots != nullptr) PK11_FreeSlotList(slots);
    return key;
}

char* tokenPin(PK11SlotInfo*, PRBool retry, void*) {
    const char* pin = std::getenv("BENCH_TOKEN_PIN");
    return retry || pin == nullptr ? nullptr : PORT_Strdup(pin);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    const bool signing = mode == "sign" || mode == "lookup";
    if (!((signing && argc == 6) || (mode == "list" && argc == 4))) {
        std::fprintf(stderr,
                     "usage: %s sign|lookup DBDIR SERIALHEX DATAFILE SECONDS | list DBDIR "
                     "SECONDS\n",
                     argv[0]);
        return 2;
    }
    const std::string database = std::string("sql:") + argv[2];
    PK11_SetPasswordFunc(tokenPin);
    if (NSS_Initialize(database.c_str(), "", "", "", NSS_INIT_READONLY) != SECSuccess) {
        std::fprintf(stderr, "cannot open %s: %d\n", database.c_str(), PORT_GetError());
        return 1;
    }
    double rate = 0;
    if (mode == "list") {
        rate = operationsPerSecond(std::atof(argv[3]), listAndChain);
    } else {
        SECKEYPrivateKey* key = keyOf(argv[3]);
        std::ifstream file(argv[4], std::ios::binary);
        const std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        if (key == nullptr) {
            std::fprintf(stderr, "no key for serial %s\n", argv[3]);
            return 1;
        }
        if (mode == "sign") {
            rate = operationsPerSecond(std::atof(argv[5]), [&] { return hashAndSign(key, data); });
        } else {
            std::vector<unsigned char> serial = serialAttribute(argv[3]);
            rate = operationsPerSecond(std::atof(argv[5]), [&] {
                SECKEYPrivateKey* found = lookUpKey(serial);
                const bool signed_ = found != nullptr && hashAndSign(found, data);
                if (found != nullptr) SECKEY_DestroyPrivateKey(found);
                return signed_;
            });
        }
        SECKEY_DestroyPrivateKey(key);
    }
    std::printf("%.1f\n", rate);
    return 0;
}
