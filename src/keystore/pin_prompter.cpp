#include "keystore/pin_prompter.h"

#include <pkcs11t.h>

namespace quillmark {

PinTries pinTriesOf(unsigned long tokenFlags) {
    if (tokenFlags & CKF_USER_PIN_LOCKED) return PinTries::Locked;
    if (tokenFlags & CKF_USER_PIN_FINAL_TRY) return PinTries::FinalTry;
    if (tokenFlags & CKF_USER_PIN_COUNT_LOW) return PinTries::Low;
    return PinTries::NotReported;
}

}  // namespace quillmark
