#pragma once

#include <string>

namespace quillmark {

// The two conversions of a host name between its ASCII form ("xn--…" labels) and Unicode.
// Each returns an empty text when the name cannot be converted.
struct HostNameCodec {
    std::string (*toUnicode)(const std::string& asciiHost);
    std::string (*toAscii)(const std::string& unicodeHost);
};

// The origin with its host's internationalised labels ("xn--…") in Unicode, scheme and port as
// they are, converted by the codec; empty when the host has none, or its Unicode form does not
// encode back to the same host (a name that would let a site show itself under another name).
std::string unicodeOrigin(const std::string& origin, const HostNameCodec& codec);

// The same with libidn2 (IDNA 2008).
std::string unicodeOrigin(const std::string& origin);

// A lowercase host name with its internationalised labels in Unicode, as unicodeOrigin shows
// them, with libidn2; the name as it is when it has none or they do not decode back to it.
std::string unicodeHostName(const std::string& asciiHost);

// A lowercase host name in ASCII ("xn--…" labels), as browsers send it; the name as it is when
// it is ASCII already or cannot be converted.
std::string asciiHostName(const std::string& host);

}  // namespace quillmark
