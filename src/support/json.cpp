#include "support/json.h"

namespace quillmark {
namespace {

thread_local std::size_t allocationFailures = 0;

void* countingAllocate(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) ++allocationFailures;
    return block;
}

// Installed before main, while no other thread can be inside cJSON.
const bool hooksInstalled = [] {
    cJSON_Hooks hooks{countingAllocate, std::free};
    cJSON_InitHooks(&hooks);
    return true;
}();

}  // namespace

std::size_t jsonAllocationFailures() {
    return allocationFailures;
}

}  // namespace quillmark
