#include "desktop/foreground_window.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace quillmark {
namespace {

constexpr char kActiveWindowAtom[] = "_NET_ACTIVE_WINDOW";
// Source indication of the request: a pager or taskbar, which window managers obey, where a
// plain application's request may only make the window flash.
constexpr std::uint32_t kSourcePager = 2;

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};

}  // namespace

// A connection to the display: xcb reports errors per request and never ends the process when
// the server goes away, unlike Xlib's default handlers, so one connection can serve every
// request. Its calls may come from any thread.
class X11Display {
  public:
    X11Display() {
        if (std::getenv("DISPLAY") == nullptr) return;
        int screenNumber = 0;
        connection_ = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection_)) return;
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
            xcb_screen_next(&screens);
        if (screens.rem == 0) return;
        root_ = screens.data->root;
        const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(
            connection_, 0, static_cast<std::uint16_t>(std::strlen(kActiveWindowAtom)),
            kActiveWindowAtom);
        std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(
            xcb_intern_atom_reply(connection_, cookie, nullptr));
        if (reply) activeWindowAtom_ = reply->atom;
    }
    ~X11Display() {
        if (connection_ != nullptr) xcb_disconnect(connection_);
    }
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    bool usable() const {
        return activeWindowAtom_ != XCB_ATOM_NONE && !xcb_connection_has_error(connection_);
    }

    // The active window, or 0 when there is none.
    std::uint32_t activeWindow() const {
        discardEvents();
        const xcb_get_property_cookie_t cookie =
            xcb_get_property(connection_, 0, root_, activeWindowAtom_, XCB_ATOM_WINDOW, 0, 1);
        std::unique_ptr<xcb_get_property_reply_t, FreeDeleter> reply(
            xcb_get_property_reply(connection_, cookie, nullptr));
        if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 ||
            xcb_get_property_value_length(reply.get()) < 4) {
            return 0;
        }
        return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    }

    // Waits until the server has taken the request, so that the window is active when the
    // reply goes out.
    void activate(std::uint32_t window) const {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = activeWindowAtom_;
        message.data.data32[0] = kSourcePager;
        message.data.data32[1] = XCB_CURRENT_TIME;
        const xcb_void_cookie_t cookie = xcb_send_event_checked(
            connection_, 0, root_,
            XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
            reinterpret_cast<const char*>(&message));
        std::unique_ptr<xcb_generic_error_t, FreeDeleter> error(
            xcb_request_check(connection_, cookie));
    }

    // False when the window no longer exists.
    bool exists(std::uint32_t window) const {
        std::unique_ptr<xcb_get_window_attributes_reply_t, FreeDeleter> reply(
            xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, window), nullptr));
        return reply != nullptr;
    }

  private:
    // The server sends some events to every client (a keyboard mapping that changed); on a
    // connection kept for the agent's life they would pile up unread.
    void discardEvents() const {
        for (;;) {
            std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(
                xcb_poll_for_event(connection_));
            if (!event) return;
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    xcb_atom_t activeWindowAtom_ = XCB_ATOM_NONE;
};

ForegroundWindow::ForegroundWindow() = default;
ForegroundWindow::ForegroundWindow(ForegroundWindow&&) noexcept = default;
ForegroundWindow::~ForegroundWindow() = default;

namespace {

// The display's connection, made at the first request and kept: under Xvfb making one took
// some 50 ms, more than a signature. One that broke (the server went away) is made again at
// the next request.
std::shared_ptr<const X11Display> sharedDisplay() {
    static std::mutex lock;
    static std::shared_ptr<const X11Display> display;
    const std::lock_guard<std::mutex> hold(lock);
    if (!display || !display->usable()) display = std::make_shared<const X11Display>();
    return display;
}

}  // namespace

ForegroundWindow ForegroundWindow::remember() {
    ForegroundWindow remembered;
    std::shared_ptr<const X11Display> display = sharedDisplay();
    if (!display->usable()) return remembered;
    remembered.window_ = display->activeWindow();
    remembered.display_ = std::move(display);
    return remembered;
}

void ForegroundWindow::restore() const {
    if (window_ == 0) return;
    if (display_->activeWindow() != window_ && display_->exists(window_))
        display_->activate(window_);
}

}  // namespace quillmark
