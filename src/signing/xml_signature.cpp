#include "signing/xml_signature.h"

// clang-format off: xmlsec.h first, as the other headers need its types.
#include <xmlsec/xmlsec.h>
// clang-format on
#include <libxml/tree.h>
#include <xmlsec/errors.h>
#include <xmlsec/nss/crypto.h>
#include <xmlsec/nss/pkikeys.h>
#include <xmlsec/nss/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <ctime>
#include <memory>

#include "keystore/nss_pointers.h"

namespace quillmark {
namespace {

struct SignatureContextDeleter {
    void operator()(xmlSecDSigCtx* context) const { xmlSecDSigCtxDestroy(context); }
};
using SignatureContextPtr = std::unique_ptr<xmlSecDSigCtx, SignatureContextDeleter>;

struct SecKeyDeleter {
    void operator()(xmlSecKey* key) const { xmlSecKeyDestroy(key); }
};
using SecKeyPtr = std::unique_ptr<xmlSecKey, SecKeyDeleter>;

const xmlChar* xml(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

const xmlChar* xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// xmlsec reports its errors through this; the failed step is logged by the caller instead.
void quietErrors(const char*, int, const char*, const char*, const char*, int, const char*) {}

// External entities are never loaded, whoever asks.
xmlParserInput* noExternalEntities(const char*, const char*, xmlParserCtxt*) {
    return nullptr;
}

// libxml2 and xmlsec set up once, over the NSS the store has initialised.
bool xmlSecurityReady() {
    static const bool ready = [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(noExternalEntities);
        if (xmlSecInit() < 0) return false;
        xmlSecErrorsSetCallback(quietErrors);
        return xmlSecNssInit() >= 0;
    }();
    return ready;
}

xmlSecTransformId signatureMethod(HashAlgorithm hash, KeyType keyType) {
    const bool sha256 = hash == HashAlgorithm::Sha256;
    if (keyType == ecKey)
        return sha256 ? xmlSecNssTransformEcdsaSha256Id : xmlSecNssTransformEcdsaSha1Id;
    return sha256 ? xmlSecNssTransformRsaSha256Id : xmlSecNssTransformRsaSha1Id;
}

xmlSecTransformId digestMethod(HashAlgorithm hash) {
    return hash == HashAlgorithm::Sha256 ? xmlSecNssTransformSha256Id : xmlSecNssTransformSha1Id;
}

xmlSecTransformId canonicalisation(const XmlSignatureOptions& options) {
    return options.exclusive ? xmlSecTransformExclC14NId : xmlSecTransformInclC14NId;
}

std::string localTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// Object/SignatureProperties/SignatureProperty[@Id, @Target]/SigningTime, in the Signature's
// namespace; the property's `Id`, registered, so that a Reference can name it.
std::optional<std::string> addSigningTime(XmlDocument& document, xmlNode* signature,
                                          const std::string& signatureId) {
    xmlNode* object = xmlSecTmplSignatureAddObject(signature, nullptr, nullptr, nullptr);
    if (object == nullptr) return std::nullopt;
    xmlNode* properties = xmlSecAddChild(object, xmlSecNodeSignatureProperties, xmlSecDSigNs);
    if (properties == nullptr) return std::nullopt;
    xmlNode* property = xmlSecAddChild(properties, xml("SignatureProperty"), xmlSecDSigNs);
    if (property == nullptr) return std::nullopt;
    const std::string id = document.unusedId(signatureId + "-SigningTime");
    if (!document.addId(property, id)) return std::nullopt;
    if (xmlSetProp(property, xml("Target"), xml("#" + signatureId)) == nullptr) return std::nullopt;
    xmlNode* time = xmlSecAddChild(property, xml("SigningTime"), xmlSecDSigNs);
    if (time == nullptr) return std::nullopt;
    xmlNodeAddContent(time, xml(localTimeNow()));
    return id;
}

bool addKeyInfo(xmlNode* signature) {
    xmlNode* keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
    xmlNode* data = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
    return data != nullptr && xmlSecTmplX509DataAddSubjectName(data) != nullptr &&
           xmlSecTmplX509DataAddCertificate(data) != nullptr;
}

// The signed content: the element named, or the whole document, without the signature itself.
bool addContentReference(xmlNode* signature, const XmlSignatureOptions& options,
                         HashAlgorithm hash) {
    const std::string uri = options.referenceId.empty() ? "" : "#" + options.referenceId;
    xmlNode* reference =
        xmlSecTmplSignatureAddReference(signature, digestMethod(hash), nullptr, xml(uri), nullptr);
    return reference != nullptr &&
           xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedId) != nullptr &&
           xmlSecTmplReferenceAddTransform(reference, canonicalisation(options)) != nullptr;
}

// The key for xmlsec: copies of the private key (which keeps the request's PIN session) and of
// the certificate's public key, with the certificate for KeyInfo.
SecKeyPtr signingKey(SECKEYPrivateKey* privateKey, CERTCertificate* certificate) {
    PrivateKeyPtr privateCopy(SECKEY_CopyPrivateKey(privateKey));
    PublicKeyPtr publicKey(CERT_ExtractPublicKey(certificate));
    if (!privateCopy || !publicKey) return nullptr;
    xmlSecKeyData* value = xmlSecNssPKIAdoptKey(privateCopy.get(), publicKey.get());
    if (value == nullptr) return nullptr;
    privateCopy.release();  // the key data owns both now
    publicKey.release();
    SecKeyPtr key(xmlSecKeyCreate());
    if (!key || xmlSecKeySetValue(key.get(), value) < 0) {
        xmlSecKeyDataDestroy(value);
        return nullptr;
    }
    xmlSecKeyData* x509 = xmlSecKeyEnsureData(key.get(), xmlSecNssKeyDataX509Id);
    if (x509 == nullptr) return nullptr;
    // The key's own certificate, and the one KeyInfo writes out.
    for (auto adopt : {xmlSecNssKeyDataX509AdoptKeyCert, xmlSecNssKeyDataX509AdoptCert}) {
        CertificatePtr copy(CERT_DupCertificate(certificate));
        if (adopt(x509, copy.get()) < 0) return nullptr;
        copy.release();
    }
    return key;
}

// xmlsec's NSS back end leaves X509SubjectName empty; KeyInfo is not signed, so it is written
// after, as NSS prints the name (RFC 4514 order, UTF-8).
bool writeSubjectName(xmlNode* signature, const CERTCertificate* certificate) {
    xmlNode* node = xmlSecFindNode(signature, xmlSecNodeX509SubjectName, xmlSecDSigNs);
    if (node == nullptr || node->children != nullptr) return true;
    const PortTextPtr name(CERT_NameToAscii(const_cast<CERTName*>(&certificate->subject)));
    if (!name) return false;
    xmlNodeAddContent(node, xml(name.get()));
    return true;
}

}  // namespace

std::variant<xmlNode*, XmlRefusal> addSignatureTemplate(XmlDocument& document,
                                                        const XmlSignatureOptions& options,
                                                        HashAlgorithm hash, KeyType keyType) {
    const XmlRefusal outOfMemory{"out of memory"};
    if (!xmlSecurityReady()) return XmlRefusal{"the XML signature library did not start"};
    if (!options.referenceId.empty() && !document.hasId(options.referenceId))
        return XmlRefusal{"no element has the Id \"" + options.referenceId + "\""};
    if (!options.signatureId.empty() && xmlValidateNCName(xml(options.signatureId.c_str()), 0) != 0)
        return XmlRefusal{"signatureId \"" + options.signatureId +
                          "\" is not a name an Id can have"};
    if (!options.signatureId.empty() && document.hasId(options.signatureId))
        return XmlRefusal{"the Id \"" + options.signatureId + "\" is already in the document"};
    const auto parent =
        options.parentPath.empty()
            ? std::variant<xmlNode*, XmlRefusal>(xmlDocGetRootElement(document.get()))
            : document.elementAt(options.parentPath);
    if (const auto* refusal = std::get_if<XmlRefusal>(&parent)) return *refusal;

    const std::string signatureId =
        options.signatureId.empty() ? document.unusedId("Signature") : options.signatureId;
    xmlNode* signature = xmlSecTmplSignatureCreate(document.get(), canonicalisation(options),
                                                   signatureMethod(hash, keyType), nullptr);
    if (signature == nullptr) return outOfMemory;
    if (xmlAddChild(std::get<xmlNode*>(parent), signature) == nullptr) {
        xmlFreeNode(signature);
        return outOfMemory;
    }
    if (!document.addId(signature, signatureId)) return outOfMemory;
    if (!addContentReference(signature, options, hash) || !addKeyInfo(signature))
        return outOfMemory;
    if (options.signingTime) {
        const std::optional<std::string> propertyId =
            addSigningTime(document, signature, signatureId);
        if (!propertyId) return outOfMemory;
        if (xmlSecTmplSignatureAddReference(signature, digestMethod(hash), nullptr,
                                            xml("#" + *propertyId), nullptr) == nullptr)
            return outOfMemory;
    }
    return signature;
}

bool signXmlTemplate(xmlNode* signature, SECKEYPrivateKey* key, CERTCertificate* certificate) {
    if (!xmlSecurityReady()) return false;
    const SignatureContextPtr context(xmlSecDSigCtxCreate(nullptr));
    if (!context) return false;
    context->enabledReferenceUris = static_cast<xmlSecTransformUriType>(
        xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument);
    context->signKey = signingKey(key, certificate).release();
    return context->signKey != nullptr && xmlSecDSigCtxSign(context.get(), signature) >= 0 &&
           writeSubjectName(signature, certificate);
}

}  // namespace quillmark
