#pragma once

#include <cert.h>
#include <cms.h>
#include <keyhi.h>
#include <pk11pub.h>
#include <secmod.h>

#include <memory>

namespace quillmark {

// Owners of the NSS objects the agent holds; each is released on every path.
struct NssDeleter {
    void operator()(CERTCertificate* certificate) const { CERT_DestroyCertificate(certificate); }
    void operator()(PK11SlotInfo* slot) const { PK11_FreeSlot(slot); }
    void operator()(PK11SlotList* slots) const { PK11_FreeSlotList(slots); }
    void operator()(SECMODModule* module) const { SECMOD_DestroyModule(module); }
    void operator()(CERTCertList* list) const { CERT_DestroyCertList(list); }
    void operator()(CERTCertificateList* chain) const { CERT_DestroyCertificateList(chain); }
    void operator()(SECKEYPrivateKey* key) const { SECKEY_DestroyPrivateKey(key); }
    void operator()(SECKEYPublicKey* key) const { SECKEY_DestroyPublicKey(key); }
    void operator()(SECKEYPrivateKeyList* keys) const { SECKEY_DestroyPrivateKeyList(keys); }
    void operator()(PK11Context* context) const { PK11_DestroyContext(context, PR_TRUE); }
    void operator()(NSSCMSMessage* message) const { NSS_CMSMessage_Destroy(message); }
    void operator()(SECItem* item) const { SECITEM_FreeItem(item, PR_TRUE); }
    void operator()(char* text) const { PORT_Free(text); }  // a text NSS allocated
    void operator()(PLArenaPool* arena) const { PORT_FreeArena(arena, PR_FALSE); }
};
using SlotPtr = std::unique_ptr<PK11SlotInfo, NssDeleter>;
using SlotListPtr = std::unique_ptr<PK11SlotList, NssDeleter>;
using ModulePtr = std::unique_ptr<SECMODModule, NssDeleter>;
using CertificatePtr = std::unique_ptr<CERTCertificate, NssDeleter>;
using CertificateListPtr = std::unique_ptr<CERTCertList, NssDeleter>;
using ChainPtr = std::unique_ptr<CERTCertificateList, NssDeleter>;
using PrivateKeyPtr = std::unique_ptr<SECKEYPrivateKey, NssDeleter>;
using PublicKeyPtr = std::unique_ptr<SECKEYPublicKey, NssDeleter>;
using PrivateKeyListPtr = std::unique_ptr<SECKEYPrivateKeyList, NssDeleter>;
using DigestPtr = std::unique_ptr<PK11Context, NssDeleter>;
using SignedMessagePtr = std::unique_ptr<NSSCMSMessage, NssDeleter>;
using ItemPtr = std::unique_ptr<SECItem, NssDeleter>;
using PortTextPtr = std::unique_ptr<char, NssDeleter>;
using ArenaPtr = std::unique_ptr<PLArenaPool, NssDeleter>;

}  // namespace quillmark
