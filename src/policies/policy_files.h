#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "support/bytes.h"

namespace quillmark {

// Where browsers read the administrator's policies on Linux. The Chromium and Chrome files are
// the agent's own; Firefox has one file for every policy, shared with the administrator.
struct PolicyPath {
    const char* directory;
    const char* name;
    std::string full() const { return std::string(directory) + "/" + name; }
};
constexpr PolicyPath kChromiumPolicyFile{"/etc/chromium/policies/managed", "quillmark.json"};
constexpr PolicyPath kChromePolicyFile{"/etc/opt/chrome/policies/managed", "quillmark.json"};
constexpr PolicyPath kFirefoxPolicyFile{"/etc/firefox/policies", "policies.json"};

// The entries of Firefox's SkipDomains that the agent wrote, one a line, so that it removes
// these and never one the administrator wrote.
constexpr PolicyPath kFirefoxRecordFile{"/var/lib/quillmark", "firefox-skip-domains"};

// The text of a file and its mode; none when it is missing. A file that cannot be read, is not a
// regular file or is larger than kMaxPolicyFileSize gives its problem instead, as one line
// naming it.
constexpr std::size_t kMaxPolicyFileSize = 4 * 1024 * 1024;
struct FileText {
    OptionalText text;
    mode_t mode = 0644;
    std::string problem;
};
FileText readPolicyFile(const std::string& path);

}  // namespace quillmark
