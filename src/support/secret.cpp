#include "support/secret.h"

namespace quillmark {

void wipeMemory(void* memory, std::size_t count) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
    while (count-- > 0)
        *bytes++ = 0;
}

Secret::~Secret() {
    wipeMemory(bytes_.data(), bytes_.size());
}

Secret::Secret(Secret&& other) noexcept
    : bytes_(other.bytes_), length_(other.length_), valid_(other.valid_) {
    other.clear();
}

void Secret::clear() {
    wipeMemory(bytes_.data(), bytes_.size());
    length_ = 0;
    valid_ = false;
}

bool Secret::append(char byte) {
    if (length_ == kCapacity) return false;
    bytes_[length_++] = byte;
    bytes_[length_] = '\0';
    return true;
}

}  // namespace quillmark
