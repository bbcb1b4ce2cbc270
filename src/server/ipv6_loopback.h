#pragma once

namespace quillmark {

// Whether the host has no IPv6 loopback to listen on: binding [::1]:port fails because the
// address is not there or IPv6 is not supported at all. A port some other program holds there
// is not such a case.
bool ipv6LoopbackMissing(int port);

}  // namespace quillmark
