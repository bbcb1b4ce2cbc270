#include "shell/refused_sites_list.h"

#include "consent/consent_gate.h"
#include "shell/main_window_texts.h"

namespace quillmark {
namespace {

std::vector<ListedSite> deniedSites() {
    std::vector<ListedSite> sites;
    for (RefusedSite& site : refusedSites())
        sites.push_back({std::move(site.name), false, site.wholeDomain});
    return sites;
}

bool forget(const std::string& origin) {
    forgetRefusal(origin);
    return true;
}

}  // namespace

RefusedSitesList::RefusedSitesList(QWidget* parent)
    : SiteList(deniedSites,
               {{QString::fromUtf8(kAllowRefusedSiteButton), allowSite},
                {QString::fromUtf8(kForgetRefusalButton), forget, true}},
               QString::fromUtf8(kRefusedSitesNote), parent) {}

}  // namespace quillmark
