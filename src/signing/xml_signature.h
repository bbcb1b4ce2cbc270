#pragma once

#include <cert.h>
#include <keyhi.h>

#include <string>
#include <variant>

#include "keystore/cert_contents.h"
#include "signing/xml_document.h"

namespace quillmark {

// Where a page wants its XML signature and what it covers.
struct XmlSignatureOptions {
    std::string referenceId;  // the element signed, as `#id`; empty: the whole document
    std::string parentPath;   // where the Signature goes, as its last child; empty: the root
    std::string signatureId;  // the Signature's `Id`; empty: one is chosen
    bool signingTime = true;  // a signed SigningTime property, in local time
    bool exclusive = false;   // exclusive canonicalisation instead of inclusive C14N 1.0
};

// An enveloped XML signature's template, placed in the document and waiting for its values:
// a Reference to the element named (or the whole document) with the enveloped-signature
// transform and the chosen canonicalisation; KeyInfo with the certificate and its subject
// name; and, with `signingTime`, an Object with the SigningTime property that a second
// Reference covers. Digests and signature use `hash` (SHA-1 or SHA-256) with the key's kind
// (RSA or EC).
std::variant<xmlNode*, XmlRefusal> addSignatureTemplate(XmlDocument& document,
                                                        const XmlSignatureOptions& options,
                                                        HashAlgorithm hash, KeyType keyType);

// Fills the template's digests and signature with the key, and its KeyInfo with the
// certificate; the key may ask for its token's PIN as NSS signs. Only references within the
// document are followed. False on failure, with the NSS error, if any, left set.
bool signXmlTemplate(xmlNode* signature, SECKEYPrivateKey* key, CERTCertificate* certificate);

}  // namespace quillmark
