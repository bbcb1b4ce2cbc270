#include "consent/allowed_sites.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "support/file_descriptor.h"
#include "support/log_file.h"
#include "support/user_directories.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr char kBlanks[] = " \t\r";
constexpr char kSaveFailedLog[] = "Could not save the allowed sites in ";

bool sameStatus(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The origin a line names, or the empty text for a blank or comment line.
std::string originOfLine(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The file's text; empty when it is missing, no result when it is there but cannot be read.
std::optional<std::string> readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (access(path.c_str(), F_OK) != 0) return std::string();
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// Writes the text to a private temporary file in the same directory and renames it over the
// path, so that a reader sees the old file or the new one, never a part of either.
bool replaceFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".XXXXXX";
    FileDescriptor file(mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.isOpen()) return false;
    const bool written =
        fchmod(file.get(), 0600) == 0 && writeAll(file.get(), text) && fsync(file.get()) == 0;
    if (file.close() && written && rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

}  // namespace

void SitesFile::refresh() {
    struct stat status {};
    const bool present = !path_.empty() && stat(path_.c_str(), &status) == 0;
    if (present == present_ && (!present || sameStatus(status, status_))) return;
    present_ = present;
    status_ = status;
    origins_.clear();
    if (!present) return;
    std::istringstream lines(readText(path_).value_or(std::string()));
    for (std::string line; std::getline(lines, line);) {
        std::string origin = originOfLine(line);
        if (!origin.empty() && origin != "null") origins_.insert(std::move(origin));
    }
}

bool SitesFile::contains(std::string_view origin) {
    refresh();
    return origins_.find(origin) != origins_.end();
}

bool SitesFile::add(const std::string& origin) {
    const std::optional<std::string> read = readText(path_);
    if (!read) return false;  // its lines would be lost
    std::string text = *read;
    if (!text.empty() && text.back() != '\n') text += '\n';
    return rewrite(text + origin + "\n");
}

bool SitesFile::remove(const std::string& origin) {
    const std::optional<std::string> read = readText(path_);
    if (!read) return false;
    std::istringstream lines(*read);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (originOfLine(line) != origin) kept += line + "\n";
    }
    return rewrite(kept);
}

std::vector<std::string> SitesFile::origins() {
    refresh();
    return {origins_.begin(), origins_.end()};
}

bool SitesFile::rewrite(const std::string& text) {
    return !path_.empty() && makeDirectories(directoryOf(path_)) && replaceFile(path_, text);
}

bool AllowedSites::allows(std::string_view origin) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return administrator_.contains(origin) || user_.contains(origin);
}

bool AllowedSites::allow(const std::string& origin) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (user_.add(origin)) return true;
    writeLog(kSaveFailedLog + user_.path());
    return false;
}

std::vector<std::string> AllowedSites::userSites() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return user_.origins();
}

bool AllowedSites::forget(const std::string& origin) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (user_.remove(origin)) return true;
    writeLog(kSaveFailedLog + user_.path());
    return false;
}

std::string userAllowedSitesPath() {
    const std::string config = xdgDirectory("XDG_CONFIG_HOME", ".config");
    return config.empty() ? std::string() : config + "/quillmark/allowed-sites";
}

std::string administratorAllowedSitesPath() {
    if (const char* path = std::getenv("QUILLMARK_TEST_ADMIN_ALLOWED_SITES")) return path;
    return "/etc/quillmark/allowed-sites";
}

}  // namespace quillmark
