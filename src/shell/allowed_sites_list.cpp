#include "shell/allowed_sites_list.h"

#include "consent/consent_gate.h"
#include "shell/main_window_texts.h"

namespace quillmark {
namespace {

std::vector<ListedSite> allowedSites() {
    std::vector<ListedSite> sites;
    for (std::string& site : userAllowedSites())
        sites.push_back({std::move(site), false});
    for (std::string& site : administratorAllowedSites())
        sites.push_back({std::move(site), true});
    return sites;
}

}  // namespace

AllowedSitesList::AllowedSitesList(QWidget* parent)
    : SiteList(allowedSites, {{QString::fromUtf8(kForgetAllowedSiteButton), forgetAllowedSite}},
               QString(), parent) {}

}  // namespace quillmark
