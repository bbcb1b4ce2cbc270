#pragma once

#include <string>
#include <vector>

#include "policies/installed_browsers.h"

namespace quillmark {

// Which browsers' policies let an origin reach the agent without asking: a managed policy file
// of Chromium or Chrome that names the origin exactly, and Firefox's SkipDomains naming its
// host. Files that cannot be read or parsed name nothing.
class PoliciesFound {
  public:
    PoliciesFound();

    bool chromium(const std::string& origin) const;
    bool chrome(const std::string& origin) const;
    bool firefox(const std::string& origin) const;
    // The one of the three for the browser.
    bool names(Browser browser, const std::string& origin) const;

  private:
    std::vector<std::string> chromiumFiles_;
    std::vector<std::string> chromeFiles_;
    std::vector<std::string> firefoxDomains_;
};

}  // namespace quillmark
