#pragma once

#include <array>
#include <cstddef>

namespace quillmark {

// A PIN held only as long as it is needed: its bytes are wiped when it goes out of scope.
class Secret {
  public:
    static constexpr std::size_t kCapacity = 1024;

    Secret() = default;
    ~Secret();
    Secret(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret& operator=(Secret&&) = delete;

    // False when no PIN was given (no pinentry, the user cancelled).
    bool valid() const { return valid_; }
    // The NUL-terminated PIN.
    const char* text() const { return bytes_.data(); }

    // Appends a byte; false when the PIN would not fit.
    bool append(char byte);
    void markValid() { valid_ = true; }
    // Wipes the PIN: no PIN given.
    void clear();

  private:
    std::array<char, kCapacity + 1> bytes_{};
    std::size_t length_ = 0;
    bool valid_ = false;
};

// Overwrites memory in a way the compiler may not drop as a dead store.
void wipeMemory(void* memory, std::size_t count);

}  // namespace quillmark
