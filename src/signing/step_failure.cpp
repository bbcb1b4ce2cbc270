#include "signing/step_failure.h"

#include <cstdio>

#include "support/log_file.h"

namespace quillmark {

void logStepFailure(const char* logText, NssErrorCode code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
    writeLog(logText);
    writeLog(hex);
}

}  // namespace quillmark
