#include "dialogs/assuan_client.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/dialog_turns.h"
#include "support/hex.h"

extern char** environ;

namespace quillmark {
namespace {

// Assuan's error codes (the low 16 bits of ERR) that mean the user closed the dialog, or
// answered a confirmation with its third button ("Not confirmed"), or let it time out.
constexpr unsigned kCancelled = 99;
constexpr unsigned kNotConfirmed = 114;
constexpr unsigned kFullyCancelled = 198;
constexpr unsigned kTimedOut = 62;

// The dialog closes itself after its own time-out; this only bounds a program that hangs.
constexpr std::chrono::milliseconds kReplyTimeout((kPinentryDialogSeconds + 10) * 1000);
constexpr std::chrono::milliseconds kExitGrace(1000);

// The process's pinentry programs, one open at a time. Process-wide, as the agent's stop closes
// the one open from a signal handler.
struct Pinentries {
    std::atomic<pid_t> open{-1};      // the pinentry running now; -1 when none
    std::atomic<bool> closed{false};  // set once the agent stops: no dialog opens after that
    std::atomic<unsigned> cancellations{0};
};
Pinentries pinentries;
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the stop path reads these from a signal handler");

// One line of the conversation, wiped after use since a data line carries the PIN.
struct Line {
    std::array<char, Secret::kCapacity * 3 + 8> bytes{};
    std::size_t length = 0;

    ~Line() { wipeMemory(bytes.data(), bytes.size()); }
    bool startsWith(const char* prefix) const {
        const std::size_t n = std::strlen(prefix);
        return length >= n && std::memcmp(bytes.data(), prefix, n) == 0 &&
               (length == n || bytes[n] == ' ');
    }
    // The low 16 bits of the code in "ERR <code> <text>".
    unsigned errorCode() const {
        const std::string text(bytes.data() + 3, length - 3);
        return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10)) & 0xFFFF;
    }
};

AssuanReply errorReply(unsigned code) {
    if (code == kCancelled || code == kFullyCancelled) return AssuanReply::Cancelled;
    if (code == kNotConfirmed) return AssuanReply::NotConfirmed;
    return code == kTimedOut ? AssuanReply::TimedOut : AssuanReply::Refused;
}

// How a pinentry is started: the conversation's socket on its standard input and output, no
// other descriptor of ours, and the signals it is closed with neither blocked nor ignored
// whatever the agent's thread does with them.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    explicit SpawnSetup(int socket) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, socket, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, socket, STDOUT_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : {SIGTERM, SIGINT, SIGPIPE})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Reads one line without its line feed; false at the end of input, on a line too long, or
// when the program does not answer in time.
bool readLine(int socket, Line& line) {
    line.length = 0;
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{socket, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char byte;
        if (recv(socket, &byte, 1, 0) != 1) return false;
        if (byte == '\n') return true;
        if (line.length == line.bytes.size()) return false;
        line.bytes[line.length++] = byte;
    }
}

// Decodes the %XX escapes of `length` bytes at `text`, handing each byte to `put`; false on a
// malformed escape or a byte `put` refuses.
template <typename Put>
bool unescape(const char* text, std::size_t length, Put put) {
    for (std::size_t i = 0; i < length; ++i) {
        char byte = text[i];
        if (byte == '%') {
            if (i + 2 >= length) return false;
            const int high = hexDigitValue(text[i + 1]);
            const int low = hexDigitValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            byte = static_cast<char>(high << 4 | low);
            i += 2;
        }
        if (!put(byte)) return false;
    }
    return true;
}

bool decodeData(const Line& line, Secret& data) {
    return line.length < 2 || unescape(line.bytes.data() + 2, line.length - 2,
                                       [&data](char byte) { return data.append(byte); });
}

}  // namespace

PinentryProcess::~PinentryProcess() {
    finish();
}

bool PinentryProcess::start(const char* program, const RequestScope* request) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    socket_.reset(pair[0]);
    const FileDescriptor childEnd(pair[1]);
    const SpawnSetup setup(childEnd.get());
    char* const argv[] = {const_cast<char*>(program), nullptr};
    pid_t child = -1;
    if (posix_spawnp(&child, program, &setup.actions, &setup.attributes, argv, environ) != 0)
        return false;
    child_ = child;
    pinentries.open = child;
    // A stop, or the request given up, between the caller's check and now has not seen
    // this child.
    if (pinentries.closed || requestAbandoned(request)) kill(child, SIGTERM);
    return true;
}

bool PinentryProcess::send(const std::string& command) {
    const std::string line = command + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n =
            ::send(socket_.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

AssuanReply PinentryProcess::readReply(Secret* data) {
    Line line;
    while (readLine(socket_.get(), line)) {
        if (line.startsWith("OK")) return AssuanReply::Ok;
        if (line.startsWith("ERR")) return errorReply(line.errorCode());
        if (line.startsWith("INQUIRE")) return AssuanReply::Refused;
        if (data != nullptr && line.startsWith("D") && !decodeData(line, *data))
            return AssuanReply::Broken;
    }
    return AssuanReply::Broken;
}

// Closes the conversation and reaps the program, killing it if it lingers. The stop path
// forgets the child before it is reaped: until then its id cannot be reused.
void PinentryProcess::finish() {
    socket_.reset();
    if (child_ <= 0) return;
    pinentries.open = -1;
    const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    while (waitpid(child_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child_ = -1;
}

std::string escapeAssuanParameter(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '%' || c == '\n' || c == '\r') {
            constexpr char kDigits[] = "0123456789ABCDEF";
            escaped += '%';
            escaped += kDigits[static_cast<unsigned char>(c) >> 4];
            escaped += kDigits[c & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool unescapeAssuanParameter(const std::string& escaped, std::string& text) {
    text.clear();
    return unescape(escaped.data(), escaped.size(), [&text](char byte) {
        text += byte;
        return true;
    });
}

void closePinentries() {
    pinentries.closed = true;
    if (const pid_t child = pinentries.open; child > 0) kill(child, SIGTERM);
}

void cancelOpenPinentry() {
    ++pinentries.cancellations;
    if (const pid_t child = pinentries.open; child > 0) kill(child, SIGTERM);
}

unsigned pinentryCancellations() {
    return pinentries.cancellations;
}

bool pinentriesClosed() {
    return pinentries.closed;
}

}  // namespace quillmark
