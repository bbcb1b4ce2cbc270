#pragma once

#include <cstdint>
#include <memory>

namespace quillmark {

class X11Display;

// The window that has the focus when a sign request arrives, so that it can have it back
// after signing: a PIN dialog may have taken it. Under X11 with a window manager that keeps
// _NET_ACTIVE_WINDOW (EWMH); without a display, nothing is remembered or restored.
class ForegroundWindow {
  public:
    static ForegroundWindow remember();
    ForegroundWindow(ForegroundWindow&&) noexcept;
    ~ForegroundWindow();

    // Asks the window manager to activate the remembered window again, if another window
    // has taken its place. A window that has closed meanwhile is left alone.
    void restore() const;

  private:
    ForegroundWindow();

    // The agent's display connection, kept for both ends of the request.
    std::shared_ptr<const X11Display> display_;
    std::uint32_t window_ = 0;
};

}  // namespace quillmark
