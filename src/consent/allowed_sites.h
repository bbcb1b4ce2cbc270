#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

// What a list of allowed sites names, in sorted order, and why the file is not trusted (then
// it names nothing); empty when it is. Reading it writes no log.
struct SitesListing {
    std::vector<std::string> origins;
    std::string problem;
};
SitesListing readSitesFile(const std::string& path, uid_t owner);

// A list of allowed sites kept in a file: one origin a line, exactly as a browser sends it;
// "#" starts a comment, blanks around an origin are ignored, and so is a byte order mark
// before the first. "null" is never an allowed site. The file is read again whenever its
// status or its folder's changes (inode, size, times, owner, mode), so an edit or a removal
// counts from the next question on; a file that is missing or cannot be read allows nothing.
// As sshd's StrictModes asks, the file is trusted only when it and its folder belong to the
// given owner and no one else may write them, and it is a regular file (not a symbolic link)
// of at most 1 MiB. Any other file is ignored, with one log line at each change saying why and
// how to mend it; it is never written.
class SitesFile {
  public:
    SitesFile(std::string path, uid_t owner) : path_(std::move(path)), owner_(owner) {}

    const std::string& path() const { return path_; }
    bool contains(std::string_view origin);
    // Adds the origin at the end of the file, keeping what the file holds: the new text is
    // written to a temporary file beside it, made private to the user (0600), then renamed
    // over it. The directory is created (private to the user) when missing. False when the
    // file could not be written, or is not trusted, or the origin cannot stand as a line.
    bool add(const std::string& origin);
    // Removes the lines that name the origin, keeping the others and the comments, written as
    // add() writes. False when the file could not be written, or is not trusted.
    bool remove(const std::string& origin);
    // The origins the file names, in sorted order.
    std::vector<std::string> origins();

  private:
    bool rewrite(const std::function<std::string(const std::string&)>& edit);

    void refresh();

    std::string path_;
    uid_t owner_;
    struct stat folderStatus_ {};
    struct stat status_ {};
    std::set<std::string, std::less<>> origins_;
};

// The sites allowed without asking: the administrator's list for every user, owned by root,
// and the user's own. Any thread may call it.
class AllowedSites {
  public:
    AllowedSites(std::string administratorPath, std::string userPath)
        : administrator_(std::move(administratorPath), 0), user_(std::move(userPath), geteuid()) {}

    bool allows(std::string_view origin);
    // Whether the administrator's list holds the site.
    bool administratorAllows(std::string_view origin);
    // Remembers the site in the user's list; false (and a log line) when it could not be saved.
    bool allow(const std::string& origin);
    // The user's list, and the removal of a site from it (false when it could not be saved).
    std::vector<std::string> userSites();
    // The administrator's list, which the agent never writes.
    std::vector<std::string> administratorSites();
    bool forget(const std::string& origin);

  private:
    std::mutex mutex_;
    SitesFile administrator_;
    SitesFile user_;
};

// $XDG_CONFIG_HOME/quillmark/allowed-sites (by default ~/.config/quillmark/allowed-sites);
// empty when no home directory is known.
std::string userAllowedSitesPath();

// /etc/quillmark/allowed-sites. For tests only, the environment variable
// QUILLMARK_TEST_ADMIN_ALLOWED_SITES names another file, as tests cannot write to /etc.
std::string administratorAllowedSitesPath();

}  // namespace quillmark
