// SoftHSM's own function list, for the test modules that put its tokens behind other readers:
// each gives out a copy of it with the functions whose behaviour it changes replaced.
#pragma once

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

// Loaded on the first call; null when SoftHSM cannot be loaded.
inline CK_FUNCTION_LIST* softHsm() {
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

// The module's function list for its C_GetFunctionList (`self`): SoftHSM's, made once, with
// `adapt` replacing the functions the module changes.
template <typename Adapt>
CK_RV wrapSoftHsm(CK_C_GetFunctionList self, CK_FUNCTION_LIST_PTR_PTR list, Adapt adapt) {
    static CK_FUNCTION_LIST wrapper{};
    if (wrapper.C_GetFunctionList == nullptr) {
        if (softHsm() == nullptr) return CKR_GENERAL_ERROR;
        wrapper = *softHsm();
        wrapper.C_GetFunctionList = self;
        adapt(wrapper);
    }
    *list = &wrapper;
    return CKR_OK;
}
