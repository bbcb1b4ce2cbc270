#pragma once

#include <cstdint>

namespace quillmark {

// The window that has the focus when a sign request arrives, so that it can have it back
// after signing: a PIN dialog may have taken it. Under X11 with a window manager that keeps
// _NET_ACTIVE_WINDOW (EWMH); without a display, nothing is remembered or restored.
class ForegroundWindow {
  public:
    static ForegroundWindow remember();

    // Asks the window manager to activate the remembered window again, if another window
    // has taken its place. A window that has closed meanwhile is left alone.
    void restore() const;

  private:
    std::uint32_t window_ = 0;
};

}  // namespace quillmark
