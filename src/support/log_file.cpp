#include "support/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "support/base64.h"
#include "support/file_descriptor.h"
#include "support/module_path.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr mode_t kOwnerOnly = 0600;

void appendEntry(const std::string& entry) {
    FileDescriptor file(
        open(logFilePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kOwnerOnly));
    if (file.isOpen()) writeAll(file.get(), entry);
}

}  // namespace

std::string logFilePath() {
    static const std::string path = getModuleDirectory() + "log.txt";
    return path;
}

void resetLog() {
    FileDescriptor file(
        open(logFilePath().c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, kOwnerOnly));
    if (!file.isOpen()) return;
    fchmod(file.get(), kOwnerOnly);  // an older log may have been readable by others
    writeAll(file.get(), "Start\n");
}

std::string formatLogEntry(const struct tm& t, std::string_view text) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::string entry(stamp);
    entry.append(text);
    entry += '\n';
    return entry;
}

void writeLog(std::string_view text) {
    const std::time_t now = std::time(nullptr);
    struct tm localTime {};
    if (localtime_r(&now, &localTime) == nullptr) return;
    appendEntry(formatLogEntry(localTime, text));
}

void writeLogData(const std::uint8_t* bytes, std::size_t count) {
    if (const auto text = base64Encode(bytes, count)) writeLog(*text);
}

std::string intToDecimal(int value) {
    return value > 0 ? std::to_string(value) : std::string();
}

}  // namespace quillmark
