#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quillmark {

// Where the host name of an origin ("scheme://host[:port]") lies in it.
struct HostSpan {
    std::size_t start = 0;
    std::size_t length = 0;
};

// The host's place in the origin; none when the origin has no "://" or its host is an IPv6
// address in brackets (which has no names).
std::optional<HostSpan> originHost(const std::string& origin);

// The host's text in lowercase: host names compare without case.
std::string lowercaseHost(const std::string& origin, const HostSpan& span);

}  // namespace quillmark
