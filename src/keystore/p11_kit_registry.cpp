#include "keystore/p11_kit_registry.h"

#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace quillmark {
namespace {

struct ModulesDeleter {
    void operator()(CK_FUNCTION_LIST** modules) const { p11_kit_modules_release(modules); }
};
using ModulesPtr = std::unique_ptr<CK_FUNCTION_LIST*, ModulesDeleter>;

struct TextDeleter {
    void operator()(char* text) const { std::free(text); }
};
using TextPtr = std::unique_ptr<char, TextDeleter>;

// A trust-policy module (p11-kit's own, reading the system's CA bundle) holds trust anchors,
// never a user's key; parsing its hundreds of roots at every listing and every serial search
// would cost more than all the rest of a request.
bool holdsTrustPolicy(CK_FUNCTION_LIST* module) {
    const TextPtr value(p11_kit_config_option(module, "trust-policy"));
    return value && std::string_view(value.get()) == "yes";
}

}  // namespace

std::vector<RegisteredModule> p11KitRegisteredModules() {
    std::vector<RegisteredModule> registered;
    // Unmanaged: p11-kit only resolves each configured module to its library; NSS initialises
    // and uses it. A module p11-kit cannot load is left out by p11-kit itself.
    const ModulesPtr modules(p11_kit_modules_load(nullptr, P11_KIT_MODULE_UNMANAGED));
    if (!modules) return registered;
    for (CK_FUNCTION_LIST** module = modules.get(); *module != nullptr; ++module) {
        if (holdsTrustPolicy(*module)) continue;
        const TextPtr name(p11_kit_module_get_name(*module));
        const TextPtr library(p11_kit_module_get_filename(*module));
        if (name && library) registered.push_back({name.get(), library.get()});
    }
    return registered;
}

}  // namespace quillmark
