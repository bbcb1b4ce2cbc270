// SoftHSM's own function list, for the test modules that put its tokens behind other readers:
// each copies it and replaces the functions whose behaviour it changes.
#pragma once

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

// Loaded on the first call; null when SoftHSM cannot be loaded.
inline CK_FUNCTION_LIST* softHsmFunctions() {
    static CK_FUNCTION_LIST* const functions = []() -> CK_FUNCTION_LIST* {
        void* library = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        auto* getList =
            library != nullptr
                ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))
                : nullptr;
        CK_FUNCTION_LIST* list = nullptr;
        return getList != nullptr && getList(&list) == CKR_OK ? list : nullptr;
    }();
    return functions;
}
