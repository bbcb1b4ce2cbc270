#include "keystore/store_survey.h"

#include <nss.h>
#include <pk11pub.h>
#include <unistd.h>

#include "keystore/cert_search.h"
#include "keystore/certificate_store.h"
#include "keystore/nss_database.h"
#include "keystore/nss_pointers.h"
#include "keystore/token_certificates.h"

namespace quillmark {
namespace {

// NSS opened on a database for the life of this object.
class ReadOnlyNss {
  public:
    explicit ReadOnlyNss(const std::string& directory)
        : open_(NSS_Initialize(("sql:" + directory).c_str(), "", "", "", NSS_INIT_READONLY) ==
                SECSuccess) {}
    ~ReadOnlyNss() {
        if (open_) NSS_Shutdown();
    }
    ReadOnlyNss(const ReadOnlyNss&) = delete;
    ReadOnlyNss& operator=(const ReadOnlyNss&) = delete;

    bool open() const { return open_; }

  private:
    bool open_;
};

std::size_t countOf(const CERTCertList* list) {
    return list != nullptr ? certificatesOf(list).size() : 0;
}

// The certificates and, when no password hides them, the private keys of NSS's own database.
void countDatabase(StoreSurvey& survey) {
    const SlotPtr slot(PK11_GetInternalKeySlot());
    if (!slot) return;
    survey.certificates = countOf(CertificateListPtr(PK11_ListCertsInSlot(slot.get())).get());
    survey.hasPassword = PK11_NeedLogin(slot.get());
    if (survey.hasPassword) return;
    const PrivateKeyListPtr keys(PK11_ListPrivKeysInSlot(slot.get(), nullptr, nullptr));
    std::size_t count = 0;
    if (keys) {
        for (SECKEYPrivateKeyListNode* node = PRIVKEY_LIST_HEAD(keys.get());
             !PRIVKEY_LIST_END(node, keys.get()); node = PRIVKEY_LIST_NEXT(node))
            ++count;
    }
    survey.keys = count;
}

// The user certificates of one token: those of a list that it holds.
std::size_t userCertificatesOn(PK11SlotInfo* slot, const CERTCertList* users) {
    std::size_t count = 0;
    if (users == nullptr) return count;
    for (CERTCertificate* certificate : certificatesOf(users))
        count += certificate->slot == slot;
    return count;
}

// The survey's own store: it keeps nothing for later.
void listTokens(StoreSurvey& survey) {
    CertificateStore store;
    const CertificateListPtr users(listTokenUserCertificates(store));
    survey.userCertificates = countOf(users.get());
    for (const SlotPtr& token : presentTokens(store)) {
        PK11SlotInfo* slot = token.get();
        if (PK11_IsInternal(slot)) continue;
        survey.tokens.push_back({PK11_GetTokenName(slot), PK11_GetModule(slot)->commonName,
                                 userCertificatesOn(slot, users.get())});
    }
}

}  // namespace

StoreSurvey surveyUserStore() {
    StoreSurvey survey;
    survey.path = userDatabaseDirectory();
    // NSS would open a missing database as an empty one: only files that are there count.
    if (access((survey.path + "/cert9.db").c_str(), F_OK) != 0) return survey;
    const ReadOnlyNss nss(survey.path);
    if (!nss.open()) {
        survey.state = StoreSurvey::State::Unreadable;
        return survey;
    }
    survey.state = StoreSurvey::State::Opened;
    countDatabase(survey);
    survey.modules = loadTokenModules();
    listTokens(survey);
    return survey;
}

}  // namespace quillmark
