#include "keystore/p11_kit_registry.h"

#include <p11-kit/p11-kit.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "support/user_directories.h"

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

// Where p11-kit as Debian builds it looks for `.module` files.
constexpr const char* kPackageModuleFolder = "/usr/share/p11-kit/modules";
constexpr const char* kSystemModuleFolder = "/etc/pkcs11/modules";

// The user's folder: p11-kit reads ~/.config/pkcs11/modules, honouring XDG_CONFIG_HOME.
std::string userModuleFolder() {
    const std::string config = xdgDirectory("XDG_CONFIG_HOME", ".config");
    return config.empty() ? config : config + "/pkcs11/modules";
}

}  // namespace

ModuleFolders ModuleFolders::now() {
    ModuleFolders folders;
    for (const std::string& path : {std::string(kPackageModuleFolder),
                                    std::string(kSystemModuleFolder), userModuleFolder()}) {
        struct stat info {};
        if (path.empty() || stat(path.c_str(), &info) != 0) info = {};
        folders.stamps_.insert(
            folders.stamps_.end(),
            {static_cast<long long>(info.st_dev), static_cast<long long>(info.st_ino),
             static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec});
    }
    return folders;
}

bool ModuleFolders::operator==(const ModuleFolders& other) const {
    return stamps_ == other.stamps_;
}

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
