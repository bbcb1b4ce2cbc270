#pragma once

#include <string>
#include <vector>

#include "support/bytes.h"

namespace quillmark {

// The policies by which Chromium and Chrome let a site reach the loopback without asking: the
// older name covers every local address, the newer one only this machine; a browser reads the
// name it knows and ignores the other.
constexpr const char* kChromiumPolicyNames[] = {"LocalNetworkAccessAllowedForUrls",
                                                "LoopbackNetworkAllowedForUrls"};

// The text of the agent's managed policy file: both policies list the origins, as URL
// patterns. None when printing fails.
OptionalText chromiumPolicyText(const std::vector<std::string>& origins);

// Whether a managed policy file's text names the origin, exactly, in either policy.
bool chromiumPolicyNames(const std::string& text, const std::string& origin);

}  // namespace quillmark
