#pragma once

#include <secmodt.h>

#include <array>
#include <cstddef>
#include <string>

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

  private:
    std::array<char, kCapacity + 1> bytes_{};
    std::size_t length_ = 0;
    bool valid_ = false;
};

// Overwrites memory in a way the compiler may not drop as a dead store.
void wipeMemory(void* memory, std::size_t count);

// What the PIN dialog tells the user about the request that needs the PIN.
//
// The signing path passes a pointer to one as the `wincx` argument of NSS's key lookup
// (PK11_FindKeyByAnyCert(certificate, &context)); NSS hands it on to the password callback
// together with the token's slot. It must outlive the key found with it: NSS keeps the
// pointer in the key and may ask for the PIN again while signing. A null `wincx` stands for
// a local program and a certificate not named.
struct PinPromptContext {
    // The requesting page's origin as its browser sent it (the HTTP `Origin` header, or the
    // WebSocket handshake's); empty when the request came without one: a local program.
    std::string origin;
    // The certificate's display name; empty when not known.
    std::string certificateName;
};

// What a token reports about the tries left before its user PIN locks.
enum class PinTries { NotReported, Low, FinalTry, Locked };

// From the token's CK_TOKEN_INFO flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY, _LOCKED).
PinTries pinTriesOf(unsigned long tokenFlags);

// The dialog's description, in lines separated by "\n": who asks to sign with which
// certificate, the token whose PIN is asked, and the tries left when the token reports
// them. Texts from the request are cut to a bounded length and shown without control
// characters, so a page cannot reshape the dialog.
std::string pinDescription(const PinPromptContext* context, const std::string& tokenLabel,
                           PinTries tries);

// Asks the user for the PIN of the slot's token, over the Assuan protocol of a pinentry
// program; one run of the program per call. On a graphical session (DISPLAY or
// WAYLAND_DISPLAY set) the graphical pinentry programs are tried first, then "pinentry"; a
// program that cannot show its dialog (a curses one without a terminal) gives way to the
// next. After a wrong PIN the dialog says so. An invalid Secret when the user cancels or
// no program could ask (then the log names what to install). `context` may be null.
Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin);

// Closes the PIN dialog open now, if any, and lets later ones open: its request was
// abandoned. askPin opens no dialog for a request abandoned (requestAbandoned()).
// Async-signal-safe; any thread may call it.
void closeCurrentPinEntry();

// Closes the PIN dialog open now, if any, and keeps new ones from opening: called when the
// agent stops, so that no dialog is left on screen. Async-signal-safe; any thread may call it.
void closeOpenPinEntry();

}  // namespace quillmark
