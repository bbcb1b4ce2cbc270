#pragma once

#include <string>

#include "support/dialog_turns.h"

namespace quillmark {

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
    // The request that needs the PIN, whose dialog turn the dialog takes; null outside any
    // runner.
    const RequestScope* request = nullptr;
};

// What a token reports about the tries left before its user PIN locks.
enum class PinTries { NotReported, Low, FinalTry, Locked };

// From the token's CK_TOKEN_INFO flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY, _LOCKED).
PinTries pinTriesOf(unsigned long tokenFlags);

// What the dialog asks for: the password of the user's own store (NSS's database), a token's
// PIN, or a token's PIN typed on its reader's keypad (the dialog then has no entry field).
enum class SecretKind { StorePassword, TokenPin, KeypadPin };

// The dialog's description, in lines separated by "\n": who asks to sign with which
// certificate, the token whose password or PIN is asked, and the tries left when the token
// reports them. Texts from the request are cut to a bounded length and shown without control
// characters, so a page cannot reshape the dialog.
std::string pinDescription(const PinPromptContext* context, const std::string& tokenLabel,
                           SecretKind kind, PinTries tries);

// The PIN dialog's fixed words for what it asks: its title, the prompt beside the field, its
// two buttons, and the line shown after a wrong entry.
struct PinDialogWords {
    const char* title;
    const char* prompt;
    const char* ok;
    const char* cancel;
    const char* wrongEntry;
};
PinDialogWords pinDialogWords(SecretKind kind);

// The title of the agent's other dialogs.
extern const char kPinDialogTitle[];

// How the dialog names the user's own certificate store (NSS's database, whose token label
// "NSS Certificate DB" means nothing to the user); tokens are named by their label.
extern const char kOwnStoreName[];

}  // namespace quillmark
