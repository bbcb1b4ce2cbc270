#include "shell/display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <xcb/xcb.h>

#include <QFileInfo>
#include <QLibraryInfo>
#include <cstdlib>
#include <cstring>

#include "support/file_descriptor.h"

namespace quillmark {
namespace {

constexpr char kNoDisplay[] =
    "no graphical display can be opened (is DISPLAY or WAYLAND_DISPLAY set?)";
constexpr char kNoWaylandPlatform[] =
    "the Wayland display needs Qt's wayland platform (package qt6-wayland)";

bool startsWith(const char* text, const char* start) {
    return std::strncmp(text, start, std::strlen(start)) == 0;
}

bool x11DisplayOpens() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return connected;
}

// The compositor's socket: WAYLAND_DISPLAY, a path or a name in XDG_RUNTIME_DIR.
std::string waylandSocketPath() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || display[0] == '\0') return std::string();
    if (display[0] == '/') return display;
    const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
    return runtimeDirectory != nullptr ? std::string(runtimeDirectory) + "/" + display : "";
}

bool waylandDisplayOpens() {
    const std::string path = waylandSocketPath();
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket.isOpen() &&
           connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool waylandPlatformInstalled() {
    return QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                             QStringLiteral("/platforms/libqwayland-generic.so"));
}

std::string waylandProblem() {
    if (!waylandDisplayOpens()) return kNoDisplay;
    return waylandPlatformInstalled() ? std::string() : kNoWaylandPlatform;
}

}  // namespace

std::string chooseDisplayPlatform() {
    const char* requested = std::getenv("QT_QPA_PLATFORM");
    if (requested != nullptr && requested[0] != '\0') {
        if (startsWith(requested, "xcb")) return x11DisplayOpens() ? std::string() : kNoDisplay;
        if (startsWith(requested, "wayland")) return waylandProblem();
        return std::string();  // another platform is taken as it is
    }

    const bool x11 = x11DisplayOpens();
    const std::string wayland = waylandProblem();
    if (wayland.empty()) {
        if (!x11) setenv("QT_QPA_PLATFORM", "wayland", 1);
        return std::string();
    }
    if (!x11) return wayland;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    return std::string();
}

}  // namespace quillmark
