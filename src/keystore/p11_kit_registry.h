#pragma once

#include <string>
#include <vector>

namespace quillmark {

// A PKCS#11 module that p11-kit has registered for this user and program (a `.module` file
// in the system's or the user's configuration, with enable-in/disable-in already applied).
struct RegisteredModule {
    std::string name;
    std::string library;
};

// The token modules p11-kit has registered, in its order (trust-policy modules, which hold
// only CA certificates, left out); empty when there are none. Kept apart
// from the NSS code because p11-kit and NSS each bring their own PKCS#11 headers.
std::vector<RegisteredModule> p11KitRegisteredModules();

// The folders p11-kit reads `.module` files from (the packages', the system's, the user's),
// as they stand: each changes when a file is added, removed or renamed in it, or the folder
// itself is made or removed. Two readings compare equal when nothing changed.
class ModuleFolders {
  public:
    static ModuleFolders now();
    bool operator==(const ModuleFolders& other) const;
    bool operator!=(const ModuleFolders& other) const { return !(*this == other); }

  private:
    // Per folder: device, inode and modification time in nanoseconds; zeros when missing.
    std::vector<long long> stamps_;
};

}  // namespace quillmark
