#pragma once

#include <string>

#include "keystore/pin_prompter.h"

namespace quillmark {

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
