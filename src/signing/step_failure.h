#pragma once

#include <cjson/cJSON.h>

#include "platform/nss_database.h"

namespace quillmark {

// What a failed certificate or signing step writes to the log and puts in the reply.
struct StepFailure {
    const char* logText;
    const char* replyText;
};

// Reports a failed step: the log lines (the step's text, then the code in lowercase hex
// without prefix), and the reply members `error` and `errorCode` (unsigned 32-bit).
void reportStepFailure(cJSON* reply, const StepFailure& failure, NssErrorCode code);

}  // namespace quillmark
