#include "keystore/pin_entry.h"

#include <pk11pub.h>
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
#include <string>
#include <thread>
#include <vector>

#include "support/dialog_turns.h"
#include "support/file_descriptor.h"
#include "support/hex.h"
#include "support/log_file.h"

extern char** environ;

namespace quillmark {
namespace {

// On a graphical session a graphical dialog, even where "pinentry" is the curses one.
constexpr const char* kGraphicalPrograms[] = {"pinentry-gnome3", "pinentry-qt",   "pinentry-gtk-2",
                                              "pinentry-x11",    "pinentry-fltk", "pinentry"};
constexpr char kNoDialogLog[] =
    "No usable PIN dialog program; install pinentry-gnome3 or pinentry-qt";

constexpr char kTitle[] = "Quillmark";
constexpr char kPrompt[] = "PIN:";
constexpr char kWrongPin[] = "Mã PIN không đúng, hãy nhập lại.";
constexpr char kSite[] = "Trang web ";
constexpr char kLocalProgram[] = "Một chương trình trên máy này";
constexpr char kAsksToSign[] = " yêu cầu ký số";
constexpr char kWithCertificate[] = " bằng chứng thư “";
constexpr char kCertificateEnd[] = "”";
constexpr char kEnterPin[] = "Nhập mã PIN của ";
constexpr char kIfYouAgree[] = " nếu bạn đồng ý.";
constexpr char kTriesLow[] = "Mã PIN đã bị nhập sai: chỉ còn ít lần thử trước khi mã PIN bị khoá.";
constexpr char kFinalTry[] = "Đây là lần thử cuối cùng: nhập sai lần nữa, mã PIN sẽ bị khoá.";
constexpr char kLocked[] = "Mã PIN đã bị khoá.";

// Long enough for any real origin and name, short enough that the description stays within
// an Assuan line (1000 bytes) once escaped.
constexpr std::size_t kShownTextLimit = 200;
constexpr char kCut[] = "…";

// Assuan's error codes (the low 16 bits of ERR) that mean the user closed the dialog.
constexpr unsigned kCancelled = 99;
constexpr unsigned kFullyCancelled = 198;
constexpr unsigned kTimedOut = 62;

// How long the dialog may stay open: the server thread waits on it.
constexpr int kDialogSeconds = 300;
constexpr std::chrono::milliseconds kReplyTimeout((kDialogSeconds + 10) * 1000);
constexpr std::chrono::milliseconds kExitGrace(1000);

// The pinentry running now, for closeOpenPinEntry; -1 when none.
std::atomic<pid_t> openPinEntry{-1};
// Set once the agent stops: no dialog opens after that.
std::atomic<bool> pinEntriesClosed{false};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the stop path reads these from a signal handler");

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

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// A text from the request as the dialog shows it: control characters become spaces (and,
// where only ASCII belongs, other bytes "?"), and a long text is cut on a character boundary.
std::string shownText(const std::string& text, bool asciiOnly) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        shown += isControl(byte) ? ' ' : asciiOnly && byte >= 0x80 ? '?' : c;
    }
    if (shown.size() <= kShownTextLimit) return shown;
    std::size_t end = kShownTextLimit;
    while (end > 0 && (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80)
        --end;
    return shown.substr(0, end) + kCut;
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool graphicalSession() {
    return !environmentValue("DISPLAY").empty() || !environmentValue("WAYLAND_DISPLAY").empty();
}

// The programs to try, in order.
std::vector<const char*> dialogPrograms() {
    if (graphicalSession()) return {std::begin(kGraphicalPrograms), std::end(kGraphicalPrograms)};
    return {"pinentry"};
}

// The OPTION commands a pinentry client gives: the terminal it was started from (for a
// curses dialog), the X display, and the character set of the user's locale.
std::vector<std::string> sessionOptions() {
    std::vector<std::string> options;
    std::array<char, 256> terminal{};
    if (isatty(STDIN_FILENO) && ttyname_r(STDIN_FILENO, terminal.data(), terminal.size()) == 0) {
        options.push_back(std::string("OPTION ttyname=") + terminal.data());
        if (const std::string type = environmentValue("TERM"); !type.empty())
            options.push_back("OPTION ttytype=" + type);
    }
    if (const std::string display = environmentValue("DISPLAY"); !display.empty())
        options.push_back("OPTION display=" + display);
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        if (const std::string locale = environmentValue(name); !locale.empty()) {
            options.push_back("OPTION lc-ctype=" + locale);
            break;
        }
    }
    return options;
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
    // The low 16 bits of the code in "ERR <code> <text>".
    unsigned errorCode() const {
        const std::string text(bytes.data() + 3, length - 3);
        return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10)) & 0xFFFF;
    }
};

// How a command ended.
enum class Reply { Ok, Cancelled, Refused, Broken };

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

// A running pinentry, talking over a socket pair on its standard input and output.
class Pinentry {
  public:
    ~Pinentry() { finish(); }

    // False when the program is not on PATH or cannot be started.
    bool start(const char* program) {
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
        openPinEntry = child;
        // A stop that came between the check in askPin and now has not seen this child.
        if (pinEntriesClosed || requestAbandoned()) kill(child, SIGTERM);
        return true;
    }

    bool send(const std::string& command) {
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

    // Reads status, comment and data lines up to the command's final OK or ERR; data lines
    // (the escaped PIN) go into `pin` when one is given.
    Reply readReply(Secret* pin = nullptr) {
        Line line;
        while (readLine(line)) {
            if (line.startsWith("OK")) return Reply::Ok;
            if (line.startsWith("ERR"))
                return cancelled(line.errorCode()) ? Reply::Cancelled : Reply::Refused;
            if (line.startsWith("INQUIRE")) return Reply::Refused;
            if (pin != nullptr && line.startsWith("D") && !decodeData(line, *pin))
                return Reply::Broken;
        }
        return Reply::Broken;
    }

  private:
    static bool cancelled(unsigned code) {
        return code == kCancelled || code == kFullyCancelled || code == kTimedOut;
    }

    // Reads one line without its line feed; false at the end of input, on a line too long,
    // or when the program does not answer in time.
    bool readLine(Line& line) {
        line.length = 0;
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{socket_.get(), POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char byte;
            if (recv(socket_.get(), &byte, 1, 0) != 1) return false;
            if (byte == '\n') return true;
            if (line.length == line.bytes.size()) return false;
            line.bytes[line.length++] = byte;
        }
    }

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

    // Closes the conversation and reaps the program, killing it if it lingers. The stop path
    // forgets the child before it is reaped: until then its id cannot be reused.
    void finish() {
        socket_.reset();
        if (child_ <= 0) return;
        openPinEntry = -1;
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

    FileDescriptor socket_;
    pid_t child_ = -1;
};

// How one run of a program ended.
enum class Outcome { Pin, Cancelled, Unusable };

// One run of the program: the settings, then GETPIN. A program that is missing, breaks off
// or refuses to show its dialog is unusable; one whose user closed the dialog is not.
Outcome runDialog(const char* program, const std::vector<std::string>& settings, Secret& pin) {
    Pinentry pinentry;
    if (!pinentry.start(program) || pinentry.readReply() != Reply::Ok) return Outcome::Unusable;
    for (const std::string& setting : settings) {
        if (!pinentry.send(setting)) return Outcome::Unusable;
        const Reply reply = pinentry.readReply();
        // An option the program does not know is no reason to give it up.
        const bool option = setting.compare(0, 7, "OPTION ") == 0;
        if (reply != Reply::Ok && !(option && reply == Reply::Refused)) return Outcome::Unusable;
    }
    if (!pinentry.send("GETPIN")) return Outcome::Unusable;
    switch (pinentry.readReply(&pin)) {
        case Reply::Ok:
            pinentry.send("BYE");
            pin.markValid();
            return Outcome::Pin;
        case Reply::Cancelled:
            return Outcome::Cancelled;
        default:
            return Outcome::Unusable;
    }
}

std::vector<std::string> dialogSettings(const std::string& description, bool afterWrongPin) {
    std::vector<std::string> settings = sessionOptions();
    settings.push_back(std::string("SETTITLE ") + kTitle);
    settings.push_back("SETDESC " + escapeParameter(description));
    settings.push_back(std::string("SETPROMPT ") + kPrompt);
    settings.push_back("SETTIMEOUT " + std::to_string(kDialogSeconds));
    if (afterWrongPin) settings.push_back(std::string("SETERROR ") + kWrongPin);
    return settings;
}

unsigned long tokenFlags(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info{};
    return PK11_GetTokenInfo(slot, &info) == SECSuccess ? info.flags : 0;
}

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

PinTries pinTriesOf(unsigned long tokenFlags) {
    if (tokenFlags & CKF_USER_PIN_LOCKED) return PinTries::Locked;
    if (tokenFlags & CKF_USER_PIN_FINAL_TRY) return PinTries::FinalTry;
    if (tokenFlags & CKF_USER_PIN_COUNT_LOW) return PinTries::Low;
    return PinTries::NotReported;
}

std::string pinDescription(const PinPromptContext* context, const std::string& tokenLabel,
                           PinTries tries) {
    const std::string origin = context ? shownText(context->origin, true) : std::string();
    const std::string name = context ? shownText(context->certificateName, false) : std::string();
    std::string description = origin.empty() ? kLocalProgram : kSite + origin;
    description += kAsksToSign;
    if (!name.empty()) description += kWithCertificate + name + kCertificateEnd;
    description += ".\n";
    description += kEnterPin + shownText(tokenLabel, false) + kIfYouAgree;
    switch (tries) {
        case PinTries::Low:
            return description + "\n" + kTriesLow;
        case PinTries::FinalTry:
            return description + "\n" + kFinalTry;
        case PinTries::Locked:
            return description + "\n" + kLocked;
        case PinTries::NotReported:
            break;
    }
    return description;
}

Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin) {
    const std::string description =
        pinDescription(context, PK11_GetTokenName(slot), pinTriesOf(tokenFlags(slot)));
    const std::vector<std::string> settings = dialogSettings(description, afterWrongPin);
    for (const char* program : dialogPrograms()) {
        if (pinEntriesClosed || requestAbandoned()) return Secret();
        Secret pin;
        const Outcome outcome = runDialog(program, settings, pin);
        if (outcome == Outcome::Pin) return pin;
        if (outcome == Outcome::Cancelled) return Secret();
    }
    if (!pinEntriesClosed && !requestAbandoned()) writeLog(kNoDialogLog);
    return Secret();
}

void closeCurrentPinEntry() {
    if (const pid_t child = openPinEntry; child > 0) kill(child, SIGTERM);
}

void closeOpenPinEntry() {
    pinEntriesClosed = true;
    closeCurrentPinEntry();
}

}  // namespace quillmark
