#include "policies/policies_found.h"

#include <algorithm>
#include <cctype>

#include "policies/chromium_policy.h"
#include "policies/firefox_policies.h"
#include "policies/policy_files.h"
#include "support/directory.h"

namespace quillmark {
namespace {

// The texts of the JSON files in a managed policy folder, which the browser reads together.
std::vector<std::string> managedPolicyTexts(const char* folder) {
    std::vector<std::string> texts;
    const Directory directory(opendir(folder));
    if (!directory) return texts;
    while (const dirent* entry = readdir(directory.get())) {
        const std::string name = entry->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        if (OptionalText text = readPolicyFile(std::string(folder) + "/" + name).text)
            texts.push_back(std::move(*text));
    }
    return texts;
}

bool anyNames(const std::vector<std::string>& texts, const std::string& origin) {
    return std::any_of(texts.begin(), texts.end(), [&origin](const std::string& text) {
        return chromiumPolicyNames(text, origin);
    });
}

std::string lowercase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

PoliciesFound::PoliciesFound()
    : chromiumFiles_(managedPolicyTexts(kChromiumPolicyFile.directory)),
      chromeFiles_(managedPolicyTexts(kChromePolicyFile.directory)) {
    const OptionalText firefox = readPolicyFile(kFirefoxPolicyFile.full()).text;
    for (const std::string& domain : firefoxSkipDomains(firefox.value_or("")))
        firefoxDomains_.push_back(lowercase(domain));
}

bool PoliciesFound::chromium(const std::string& origin) const {
    return anyNames(chromiumFiles_, origin);
}

bool PoliciesFound::chrome(const std::string& origin) const {
    return anyNames(chromeFiles_, origin);
}

bool PoliciesFound::firefox(const std::string& origin) const {
    const std::string domain = firefoxDomainOf(origin);
    return !domain.empty() && std::find(firefoxDomains_.begin(), firefoxDomains_.end(), domain) !=
                                  firefoxDomains_.end();
}

bool PoliciesFound::names(Browser browser, const std::string& origin) const {
    switch (browser) {
        case Browser::Chromium:
            return chromium(origin);
        case Browser::Chrome:
            return chrome(origin);
        case Browser::Firefox:
            break;
    }
    return firefox(origin);
}

}  // namespace quillmark
