#include "shell/display.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>

namespace quillmark {

bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && platform[0] != '\0' &&
        std::string_view(platform).substr(0, 3) != "xcb")
        return true;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return connected;
}

}  // namespace quillmark
