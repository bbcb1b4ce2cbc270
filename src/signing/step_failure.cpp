#include "signing/step_failure.h"

#include <cstdio>

#include "support/log_file.h"

namespace quillmark {

void reportStepFailure(cJSON* reply, const StepFailure& failure, NssErrorCode code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
    writeLog(failure.logText);
    writeLog(hex);
    cJSON_AddItemToObject(reply, "error", cJSON_CreateString(failure.replyText));
    cJSON_AddItemToObject(reply, "errorCode", cJSON_CreateNumber(static_cast<double>(code)));
}

}  // namespace quillmark
