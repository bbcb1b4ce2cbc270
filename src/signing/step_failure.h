#pragma once

#include "keystore/nss_database.h"

namespace quillmark {

// Logs a failed certificate or signing step: the step's text, then the code in lowercase
// hex without prefix.
void logStepFailure(const char* logText, NssErrorCode code);

}  // namespace quillmark
