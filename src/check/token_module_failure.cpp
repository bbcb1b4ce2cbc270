#include "check/token_module_failure.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <sstream>

#include "dialogs/shown_text.h"
#include "support/file_descriptor.h"
#include "support/module_path.h"
#include "support/user_directories.h"

namespace quillmark {
namespace {

// The texts; each "%s" is filled in turn.
constexpr char kLibraryNotLoaded[] = "its library cannot be loaded (%s)";
constexpr char kNoEntryPoint[] = "its library is not a PKCS#11 module (%s)";
constexpr char kNotStarted[] = "it did not start (%s)";
constexpr char kSoftHsmNotStarted[] = "it did not start (%s), as %s";
constexpr char kSoftHsmReadable[] = "it did not start (%s), though %s and %s can be read";
constexpr char kConfiguration[] = "its configuration file %s";
constexpr char kConfigurationNamed[] = "its configuration file %s, named by SOFTHSM2_CONF,";
constexpr char kTokenFolder[] = "its token folder %s";
constexpr char kIsMissing[] = "%s is missing";
constexpr char kCannotBeRead[] = "%s cannot be read (%s)";
constexpr char kCannotBeOpened[] = "%s cannot be opened (%s)";

constexpr char kReinstall[] = "Reinstall its package, or remove its .module file.";
constexpr char kCorrectModuleFile[] =
    "Correct the library its .module file names, or remove that file.";
constexpr char kCheckModule[] = "Check the module's own settings, or remove its .module file.";
constexpr char kYours[] = "%s is yours: open it to yourself with: chmod u+rX %s.";
constexpr char kJoinGroup[] =
    "Ask the administrator to add you to the group %s, which may open %s.";
constexpr char kAskAccess[] = "Ask the administrator to let you open %s.";
constexpr char kOwnConfiguration[] =
    " Or give SoftHSM a configuration of your own, with a token folder of your own, through "
    "SOFTHSM2_CONF.";
constexpr char kSetVariable[] =
    "Set SOFTHSM2_CONF to a configuration file that exists, or unset it.";
constexpr char kWriteConfiguration[] =
    "Reinstall SoftHSM's package, or write that file (see softhsm2.conf(5)).";
constexpr char kMakeTokenFolder[] =
    "Make that folder, or name one that exists as directories.tokendir in %s.";
constexpr char kCheckSettings[] = "Check the settings in %s (see softhsm2.conf(5)).";

// Where SoftHSM looks when neither SOFTHSM2_CONF nor the user's own file is there, and the
// token folder it uses when its configuration names none (Debian's build).
constexpr char kSoftHsmConfiguration[] = "/etc/softhsm/softhsm2.conf";
constexpr char kSoftHsmUserConfiguration[] = "/.config/softhsm2/softhsm2.conf";
constexpr char kSoftHsmTokenFolder[] = "/var/lib/softhsm/tokens/";
constexpr std::size_t kMaxConfigurationSize = 64 * 1024;

// The text with each "%s" replaced by the next value.
std::string filled(const char* text, std::initializer_list<std::string> values) {
    std::string result;
    auto value = values.begin();
    for (const char* c = text; *c != '\0'; ++c) {
        if (c[0] == '%' && c[1] == 's' && value != values.end()) {
            result += *value++;
            ++c;
        } else {
            result += *c;
        }
    }
    return result;
}

std::string shown(const std::string& text) {
    return shownText(text, false);
}

// What the module said: the PKCS#11 code NSS's text names ("CKR_GENERAL_ERROR"), else that
// text without its full stop.
std::string moduleWords(const std::string& text) {
    const std::size_t code = text.find("CKR_");
    if (code != std::string::npos)
        return text.substr(code,
                           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", code) - code);
    return shown(text.empty() || text.back() != '.' ? text : text.substr(0, text.size() - 1));
}

// The first folder on the way to `path`, or `path` itself, that is closed to the user: a folder
// on the way must let them search it, `path` let them read it (and search it, when a folder).
// None when nothing on the way refuses them.
std::optional<std::string> closedOnTheWay(const std::string& path, bool folder) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const bool last = end == std::string::npos;
        const std::string part = last ? path : path.substr(0, end);
        const int wanted = !last ? X_OK : folder ? R_OK | X_OK : R_OK;
        if (access(part.c_str(), wanted) != 0 && errno == EACCES) return part;
        if (last) return std::nullopt;
    }
}

// Who may open the part of the way that is closed to the user: the user, who owns it; a group
// they are not in; or only the administrator.
std::string accessAdvice(const std::string& path, bool folder) {
    const std::optional<std::string> closed = closedOnTheWay(path, folder);
    struct stat status {};
    if (!closed || stat(closed->c_str(), &status) != 0) return filled(kAskAccess, {shown(path)});
    if (status.st_uid == geteuid()) return filled(kYours, {shown(*closed), shown(*closed)});
    const bool searched = *closed != path || S_ISDIR(status.st_mode);
    const mode_t wanted = (*closed == path ? S_IRGRP : 0) | (searched ? S_IXGRP : 0);
    const group* owners = getgrgid(status.st_gid);
    if ((status.st_mode & wanted) == wanted && owners != nullptr)
        return filled(kJoinGroup, {shown(owners->gr_name), shown(*closed)});
    return filled(kAskAccess, {shown(*closed)});
}

bool isSoftHsm(const std::string& library) {
    char resolved[PATH_MAX];
    for (const std::string& path :
         {library, std::string(realpath(library.c_str(), resolved) ? resolved : "")})
        if (fileNameOf(path).rfind("libsofthsm2", 0) == 0) return true;
    return false;
}

// The configuration file SoftHSM reads, and whether SOFTHSM2_CONF named it.
std::pair<std::string, bool> softHsmConfiguration() {
    if (const char* named = std::getenv("SOFTHSM2_CONF")) return {named, true};
    const std::string home = homeDirectory();
    const std::string own = home + kSoftHsmUserConfiguration;
    if (!home.empty() && access(own.c_str(), R_OK) == 0) return {own, false};
    return {kSoftHsmConfiguration, false};
}

// The token folder a configuration names, read as SoftHSM reads it: "name = value" lines,
// anything after a '#' left out, the last one naming it counting.
std::string tokenFolderIn(const std::string& text) {
    std::string folder = kSoftHsmTokenFolder;
    std::istringstream lines(text);
    const auto trimmed = [](const std::string& part) {
        const std::size_t first = part.find_first_not_of(" \t\v\f");
        if (first == std::string::npos) return std::string();
        return part.substr(first, part.find_last_not_of(" \t\v\f") + 1 - first);
    };
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find_first_of("#\r"));
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos ||
            trimmed(line.substr(0, equals)) != "directories.tokendir")
            continue;
        const std::string value =
            trimmed(line.substr(equals + 1, line.find('=', equals + 1) - equals - 1));
        if (!value.empty()) folder = value;
    }
    return folder;
}

// Reads the whole file, or gives the error of its opening.
std::optional<std::string> readText(const std::string& path, int& error) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen()) {
        error = errno;
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t count; text.size() < kMaxConfigurationSize &&
                        (count = read(file.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(count));
    return text;
}

// SoftHSM says no more than CKR_GENERAL_ERROR when it cannot read its configuration or open
// its token folder: the files tell which.
ModuleFailureReport explainSoftHsmStart(const std::string& words) {
    const auto [path, named] = softHsmConfiguration();
    const std::string configuration =
        filled(named ? kConfigurationNamed : kConfiguration, {shown(path)});
    int error = 0;
    const std::optional<std::string> text = readText(path, error);
    if (!text && error == ENOENT)
        return {filled(kSoftHsmNotStarted, {words, filled(kIsMissing, {configuration})}),
                named ? kSetVariable : kWriteConfiguration};
    if (!text)
        return {filled(kSoftHsmNotStarted,
                       {words, filled(kCannotBeRead, {configuration, std::strerror(error)})}),
                accessAdvice(path, false) + kOwnConfiguration};
    const std::string folder = tokenFolderIn(*text);
    const std::string tokens = filled(kTokenFolder, {shown(folder)});
    const FileDescriptor opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.isOpen() && errno == ENOENT)
        return {filled(kSoftHsmNotStarted, {words, filled(kIsMissing, {tokens})}),
                filled(kMakeTokenFolder, {shown(path)})};
    if (!opened.isOpen())
        return {filled(kSoftHsmNotStarted,
                       {words, filled(kCannotBeOpened, {tokens, std::strerror(errno)})}),
                accessAdvice(folder, true) + kOwnConfiguration};
    return {filled(kSoftHsmReadable, {words, configuration, tokens}),
            filled(kCheckSettings, {shown(path)})};
}

}  // namespace

ModuleFailureReport explainModuleFailure(const TokenModuleLoad& load) {
    const std::string& library = load.module.library;
    switch (load.failure) {
        case ModuleFailure::Library:
            return {filled(kLibraryNotLoaded, {shown(load.failureText)}), kReinstall};
        case ModuleFailure::EntryPoint:
            return {filled(kNoEntryPoint, {shown(load.failureText)}), kCorrectModuleFile};
        case ModuleFailure::None:
        case ModuleFailure::Start:
            break;
    }
    const std::string words = moduleWords(load.failureText);
    if (isSoftHsm(library)) return explainSoftHsmStart(words);
    return {filled(kNotStarted, {words}), kCheckModule};
}

}  // namespace quillmark
