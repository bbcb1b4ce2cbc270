#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quillmark {

// What the user is told of each signature made: the site that asked (empty for a program of
// the user's own), the certificate's name, the size of the data signed and the first 16 hex
// digits of its SHA-256.
struct SignatureRecord {
    std::string site;
    std::string certificate;
    std::size_t dataSize = 0;
    std::string sha256Prefix;
};

// The record of data signed for a site with a certificate.
SignatureRecord signatureRecord(std::string site, std::string certificate, const std::uint8_t* data,
                                std::size_t size);

// The record as one line of text, as the log and quillmarkd's stderr show it.
std::string signatureTraceText(const SignatureRecord& record);

// Called on the signing thread after each signature: quillmarkd writes the record to stderr,
// the desktop agent shows it. Installed once at start, before the agent serves.
using SignatureObserver = std::function<void(const SignatureRecord&)>;
void setSignatureObserver(SignatureObserver observer);

// Logs the signature and hands it to the observer.
void traceSignature(const SignatureRecord& record);

}  // namespace quillmark
