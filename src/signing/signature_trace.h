#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quillmark {

// The kinds of signature, as the record names them.
constexpr char kRawSignature[] = "raw";
constexpr char kCmsSignature[] = "CMS";
constexpr char kXmlSignature[] = "XML";

// What the user is told of each signature made: when (local time, "2026-01-31 14:05:09
// +0700"), the site that asked (empty for a program of the user's own), the certificate's name
// and the serial text the request named, the kind of signature, and the size and SHA-256
// (64 lowercase hex digits) of the data signed.
struct SignatureRecord {
    std::string time;
    std::string site;
    std::string certificate;
    std::string serial;
    std::string kind;
    std::size_t dataSize = 0;
    std::string sha256;
};

// The record of data signed now for a site with a certificate.
SignatureRecord signatureRecord(std::string site, std::string certificate, std::string serial,
                                std::string kind, const std::uint8_t* data, std::size_t size);

// The first 16 hex digits of the SHA-256, as the log, the notification and the window show it.
std::string shortDigest(const SignatureRecord& record);

// The record as one line of text, as the log and quillmarkd's stderr show it.
std::string signatureTraceText(const SignatureRecord& record);

// Called on the signing thread after each signature: quillmarkd writes the record to stderr,
// the desktop agent shows it.
using SignatureObserver = std::function<void(const SignatureRecord&)>;

// Logs the signature, keeps it in the signature journal (on disk before this returns, so
// before the reply goes out) and hands it to the observer, if any.
void traceSignature(const SignatureRecord& record, const SignatureObserver* observer);

}  // namespace quillmark
