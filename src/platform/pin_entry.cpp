#include "platform/pin_entry.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/hex.h"

extern char** environ;

namespace quillmark {
namespace {

constexpr char kProgram[] = "pinentry";
constexpr char kTitle[] = "Quillmark";
constexpr char kPrompt[] = "PIN:";
constexpr char kDescriptionStart[] = "Nhập mã PIN của ";
constexpr char kWrongPin[] = "Mã PIN không đúng, hãy nhập lại.";

// How long the dialog may stay open: the server thread waits on it.
constexpr int kDialogSeconds = 300;
constexpr std::chrono::milliseconds kReplyTimeout((kDialogSeconds + 10) * 1000);
constexpr std::chrono::milliseconds kExitGrace(1000);

// Assuan escapes "%", CR and LF in parameters as %XX.
std::string escapeParameter(const std::string& text) {
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
};

// The running pinentry, talking over a socket pair on its standard input and output.
class Pinentry {
  public:
    ~Pinentry() { finish(); }

    bool start() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
        socket_ = pair[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        char* const argv[] = {const_cast<char*>(kProgram), nullptr};
        const int failed = posix_spawnp(&child_, kProgram, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
        if (failed != 0) child_ = -1;
        return failed == 0;
    }

    bool send(const std::string& command) {
        const std::string line = command + "\n";
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = ::send(socket_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads one line without its line feed; false at the end of input, on a line too long,
    // or when the program does not answer in time.
    bool readLine(Line& line) {
        line.length = 0;
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{socket_, POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char byte;
            if (recv(socket_, &byte, 1, 0) != 1) return false;
            if (byte == '\n') return true;
            if (line.length == line.bytes.size()) return false;
            line.bytes[line.length++] = byte;
        }
    }

    // Reads status and comment lines up to the command's final OK (true) or ERR (false).
    bool readOk() {
        Line line;
        while (readLine(line)) {
            if (line.startsWith("OK")) return true;
            if (line.startsWith("ERR") || line.startsWith("INQUIRE")) return false;
        }
        return false;
    }

    // The answer to GETPIN: data lines holding the escaped PIN, then OK.
    bool readPin(Secret& pin) {
        Line line;
        while (readLine(line)) {
            if (line.startsWith("OK")) return true;
            if (line.startsWith("D") && !decodeData(line, pin)) return false;
            if (line.startsWith("ERR") || line.startsWith("INQUIRE")) return false;
        }
        return false;
    }

  private:
    static bool decodeData(const Line& line, Secret& pin) {
        for (std::size_t i = 2; i < line.length; ++i) {
            char byte = line.bytes[i];
            if (byte == '%') {
                if (i + 2 >= line.length) return false;
                const int high = hexDigitValue(line.bytes[i + 1]);
                const int low = hexDigitValue(line.bytes[i + 2]);
                if (high < 0 || low < 0) return false;
                byte = static_cast<char>(high << 4 | low);
                i += 2;
            }
            if (!pin.append(byte)) return false;
        }
        return true;
    }

    // Closes the conversation and reaps the program, killing it if it lingers.
    void finish() {
        if (socket_ >= 0) {
            close(socket_);
            socket_ = -1;
        }
        if (child_ <= 0) return;
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

    int socket_ = -1;
    pid_t child_ = -1;
};

}  // namespace

void wipeMemory(void* memory, std::size_t count) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
    while (count-- > 0)
        *bytes++ = 0;
}

Secret::~Secret() {
    wipeMemory(bytes_.data(), bytes_.size());
}

Secret::Secret(Secret&& other) noexcept
    : bytes_(other.bytes_), length_(other.length_), valid_(other.valid_) {
    wipeMemory(other.bytes_.data(), other.bytes_.size());
    other.length_ = 0;
    other.valid_ = false;
}

bool Secret::append(char byte) {
    if (length_ == kCapacity) return false;
    bytes_[length_++] = byte;
    bytes_[length_] = '\0';
    return true;
}

Secret askPin(const char* tokenName, bool afterWrongPin) {
    Secret pin;
    Pinentry pinentry;
    if (!pinentry.start() || !pinentry.readOk()) return pin;
    const std::string description = kDescriptionStart + std::string(tokenName ? tokenName : "");
    std::string commands[] = {
        std::string("SETTITLE ") + kTitle,
        "SETDESC " + escapeParameter(description),
        std::string("SETPROMPT ") + kPrompt,
        "SETTIMEOUT " + std::to_string(kDialogSeconds),
        afterWrongPin ? std::string("SETERROR ") + kWrongPin : std::string(),
    };
    for (const std::string& command : commands) {
        if (!command.empty() && (!pinentry.send(command) || !pinentry.readOk())) return pin;
    }
    if (!pinentry.send("GETPIN")) return pin;
    if (pinentry.readPin(pin)) pin.markValid();
    pinentry.send("BYE");
    return pin;
}

}  // namespace quillmark
