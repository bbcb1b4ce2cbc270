#include "consent/allowed_sites.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/file_descriptor.h"
#include "support/log_file.h"
#include "support/user_directories.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr char kBlanks[] = " \t\r";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr char kSaveFailedLog[] = "Could not save the allowed sites in ";
constexpr char kIgnoredLog[] = "Allowed sites ignored: ";
// Larger lists are ignored rather than read while requests wait.
constexpr off_t kMaxListSize = 1 << 20;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

bool sameStatus(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mode == b.st_mode && a.st_uid == b.st_uid && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The path's status (of a symbolic link itself, not what it names), zero-filled when there is
// none: no file has inode 0.
struct stat statusOf(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) status = {};
    return status;
}

// The origin a line names, or the empty text for a blank or comment line.
std::string originOfLine(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Why a file or folder of this status may not be trusted, with the command that mends it;
// empty when it may.
std::string distrust(const struct stat& status, uid_t owner, const std::string& path) {
    if (status.st_uid != owner)
        return path + " belongs to uid " + std::to_string(status.st_uid) + ", not " +
               std::to_string(owner) + " (chown " + std::to_string(owner) + " '" + path + "')";
    if ((status.st_mode & kWritableByOthers) != 0)
        return path + " may be written by others (chmod go-w '" + path + "')";
    return {};
}

// A list's folder, opened to read and replace the list in it, and the list's text (without a
// byte order mark; empty when there is no list), or why it is not trusted.
struct ListFile {
    FileDescriptor folder;
    std::string text;
    std::string problem;
};

// Reads to the end, or until the text is longer than a list may be (it may grow while read).
bool readAll(int file, std::string& text) {
    char buffer[8192];
    while (text.size() <= static_cast<std::size_t>(kMaxListSize)) {
        const ssize_t count = read(file, buffer, sizeof buffer);
        if (count == 0) return true;
        if (count < 0 && errno != EINTR) return false;
        if (count > 0) text.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
}

// Reads the file itself, never what a symbolic link names, and checks it before its text.
std::string readList(int folder, const std::string& path, uid_t owner, std::string& text) {
    const FileDescriptor file(
        openat(folder, nameOf(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen() && errno == ENOENT) return {};
    if (!file.isOpen() && errno == ELOOP)
        return path + " is a symbolic link (put the list itself in its place)";
    struct stat status {};
    if (!file.isOpen() || fstat(file.get(), &status) != 0)
        return path + " cannot be read: " + std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return path + " is not a regular file (replace it with one)";
    if (std::string problem = distrust(status, owner, path); !problem.empty()) return problem;
    const std::string tooLarge =
        path + " is larger than 1 MiB (keep one origin a line, and only those allowed)";
    if (status.st_size > kMaxListSize) return tooLarge;
    if (!readAll(file.get(), text)) return path + " cannot be read: " + std::strerror(errno);
    if (text.size() > static_cast<std::size_t>(kMaxListSize)) return tooLarge;
    if (text.compare(0, sizeof kByteOrderMark - 1, kByteOrderMark) == 0)
        text.erase(0, sizeof kByteOrderMark - 1);
    return {};
}

ListFile openList(const std::string& path, uid_t owner) {
    ListFile list;
    const std::string directory = directoryOf(path);
    list.folder.reset(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!list.folder.isOpen() && errno == ENOENT) return list;
    if (!list.folder.isOpen() || fstat(list.folder.get(), &status) != 0)
        list.problem = directory + " cannot be opened: " + std::strerror(errno);
    else
        list.problem = distrust(status, owner, directory);
    if (list.problem.empty()) list.problem = readList(list.folder.get(), path, owner, list.text);
    return list;
}

// A new private file in the folder, named after the list, that no one else made.
FileDescriptor createTemporary(int folder, const std::string& name, std::string& temporary) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temporary = name + "." + std::to_string(getpid()) + "-" + std::to_string(attempt);
        FileDescriptor file(openat(folder, temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.isOpen() || errno != EEXIST) return file;
    }
    return FileDescriptor();
}

// Writes the text to a private temporary file in the folder and renames it over the list, so
// that a reader sees the old list or the new one, never a part of either.
bool replaceList(int folder, const std::string& name, const std::string& text) {
    std::string temporary;
    FileDescriptor file = createTemporary(folder, name, temporary);
    if (!file.isOpen()) return false;
    const bool written =
        fchmod(file.get(), 0600) == 0 && writeAll(file.get(), text) && fsync(file.get()) == 0;
    if (file.close() && written && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0)
        return true;
    unlinkat(folder, temporary.c_str(), 0);
    return false;
}

// The origins a list's text names; "null" is never one.
std::set<std::string, std::less<>> originsOf(const std::string& text) {
    std::set<std::string, std::less<>> origins;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string origin = originOfLine(line);
        if (!origin.empty() && origin != "null") origins.insert(std::move(origin));
    }
    return origins;
}

}  // namespace

SitesListing readSitesFile(const std::string& path, uid_t owner) {
    if (path.empty()) return {{}, "no home directory is known"};
    ListFile list = openList(path, owner);
    if (!list.problem.empty()) return {{}, std::move(list.problem)};
    const auto origins = originsOf(list.text);
    return {{origins.begin(), origins.end()}, {}};
}

void SitesFile::refresh() {
    if (path_.empty()) return;
    const struct stat folderStatus = statusOf(directoryOf(path_));
    const struct stat status = statusOf(path_);
    if (sameStatus(folderStatus, folderStatus_) && sameStatus(status, status_)) return;
    folderStatus_ = folderStatus;
    status_ = status;
    origins_.clear();
    const ListFile list = openList(path_, owner_);
    if (!list.problem.empty())
        writeLog(kIgnoredLog + list.problem);
    else
        origins_ = originsOf(list.text);
}

bool SitesFile::contains(std::string_view origin) {
    refresh();
    return origins_.find(origin) != origins_.end();
}

// An origin the file cannot hold as a line of its own (a line break, a comment sign, blanks
// at its ends) is never written: it would name another site, or none.
bool SitesFile::add(const std::string& origin) {
    if (origin.empty() || originOfLine(origin) != origin || origin.find('\n') != std::string::npos)
        return false;
    return rewrite([&origin](const std::string& text) {
        const bool ended = text.empty() || text.back() == '\n';
        return text + (ended ? "" : "\n") + origin + "\n";
    });
}

bool SitesFile::remove(const std::string& origin) {
    return rewrite([&origin](const std::string& text) {
        std::istringstream lines(text);
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            if (originOfLine(line) != origin) kept += line + "\n";
        }
        return kept;
    });
}

std::vector<std::string> SitesFile::origins() {
    refresh();
    return {origins_.begin(), origins_.end()};
}

// A list that is not trusted is left as it is: its lines would be lost, or kept on another's
// word.
bool SitesFile::rewrite(const std::function<std::string(const std::string&)>& edit) {
    if (path_.empty() || !makeDirectories(directoryOf(path_))) return false;
    const ListFile list = openList(path_, owner_);
    return list.folder.isOpen() && list.problem.empty() &&
           replaceList(list.folder.get(), nameOf(path_), edit(list.text));
}

bool AllowedSites::allows(std::string_view origin) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return administrator_.contains(origin) || user_.contains(origin);
}

bool AllowedSites::administratorAllows(std::string_view origin) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return administrator_.contains(origin);
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

std::vector<std::string> AllowedSites::administratorSites() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return administrator_.origins();
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
