#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "keystore/certificate_store.h"
#include "keystore/nss_database.h"
#include "keystore/pin_prompter.h"
#include "signing/signature_trace.h"
#include "signing/xml_signature.h"
#include "support/bytes.h"
#include "support/dialog_turns.h"

namespace quillmark {

// The raw output is the PKCS #1 v1.5 signature, most significant byte first; the CMS output
// is a DER CMS SignedData message whose content is that same signature, signed again with
// the same key and carrying the signer's certificate; the XML output is the document sent,
// with an enveloped XML signature added.
enum class SignOutput { Raw, Cms, Xml };

// What a sign request gives: the data (Base64 text, else hex text; either may be null), the
// serial text of the user certificate to sign with, and whether the data arrives enciphered
// and the result leaves enciphered; the origin of the page that asks, for the PIN dialog
// (empty: a local program). Base64 data is decoded to `decodeTo` when set: the text's own
// first byte, when the caller lets the text be overwritten; else to a buffer of its own.
struct SignRequest {
    const char* dataHex;
    std::string_view dataBase64;  // null data(): none
    std::uint8_t* decodeTo;
    const char* serialNumber;
    bool secure;
    SignOutput output;
    std::string_view origin;
    const StoreHandle* store;  // the request's hold on the store, which its PIN dialog gives up
    PinPrompter* pinPrompter;  // what asks for the PIN; null: nothing can ask
    const SignatureObserver* signatureObserver;  // told of the signature made; may be null
};

// The signing steps that can fail, in the order they run.
enum class SignStep {
    OpenStore,
    PrivateKey,
    CreateHash,
    Hash,
    SignatureLength,
    SignatureMemory,
    Sign,
    Message,
    Encode,
};

// What a failed step writes to the log and what the reply says of it. The store texts of the
// two outputs are swapped between log and reply on purpose: pages match on the reply texts.
struct StepTexts {
    const char* log;
    const char* reply;
};
StepTexts stepTexts(SignStep step, SignOutput output);

// A failed step, and how the request's last PIN dialog ended: a key not had, or a signature
// refused, is explained by that dialog.
struct SignFailure {
    SignStep step;
    NssErrorCode code;
    PinDialogOutcome pinDialog = PinDialogOutcome::NotAsked;
};

// No data, or data that does not decode or decipher.
struct MissingData {};
// No user certificate has the serial text.
struct NoCertificate {};

// The bytes that go into the reply (enciphered in secure mode), or why there are none.
using SignResult = std::variant<Bytes, SignFailure, MissingData, NoCertificate, XmlRefusal>;

// Signs the data with the private key of the user certificate whose serial text equals the
// request's, hashing with SHA-256 when the certificate is signed with sha256WithRSAEncryption
// and with SHA-1 otherwise. The CMS message's own digest is the hash the certificate's
// signature algorithm names (SHA-384 for sha384WithRSAEncryption). In secure mode the decoded data
// is deciphered before hashing and the result enciphered. Logs the raw operation's trace and each
// failed step; each signature made is traced (traceSignature).
SignResult sign(const SignRequest& request);

// Signs the XML document the request's data holds (output Xml) with an enveloped signature
// placed and covering what `options` say, with the same certificate, hash, PIN session and
// trace as sign. The trace's data is the signed document. A document that does not parse, or
// that the options do not fit, is refused before any PIN is asked.
SignResult signXml(const SignRequest& request, const XmlSignatureOptions& options);

}  // namespace quillmark
