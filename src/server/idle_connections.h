#pragma once

#include <libwebsockets.h>

#include <cstdint>

namespace quillmark {

// True while a request of the connection is being worked on, waits for a dialog, or has its
// reply on the way: closing the connection would drop a request the agent has taken.
bool connectionBusy(lws* wsi);

// A busy connection whose peer has finished sending: its endpoint checks whether the peer has
// gone altogether (see probeHttpPeer).
void probeBusyPeer(lws* wsi);

// Has the library close the connection at its next service pass.
void closeSoon(lws* wsi);

// Of the connections it is shown, the one not busy that has gone longest without data either
// way (as the kernel counts it); none when every one shown is busy.
class IdlestConnection {
  public:
    void consider(lws* wsi);
    lws* found() const { return found_; }

  private:
    lws* found_ = nullptr;
    std::uint32_t idle_ = 0;
};

}  // namespace quillmark
