#pragma once

#include <cstdint>

namespace quillmark {

// Stops this process's sockets listening on the TCP port (IPv4 and IPv6): from then on the
// kernel refuses new connections to them, so a client knows at once to try again, rather than
// have a connection taken and dropped by a server that is stopping. Connections already
// accepted go on as before. The library keeps the descriptors and closes them as usual.
void stopListening(std::uint16_t port);

}  // namespace quillmark
