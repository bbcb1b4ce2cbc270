#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quillmark {

// Who holds a TCP port, as far as this user can tell: another user's process cannot be named.
struct PortHolder {
    enum class Kind { Nobody, ThisUser, OtherUser };
    Kind kind = Kind::Nobody;
    uid_t uid = 0;
    std::string program;  // a process of this user only; empty when unknown
};

PortHolder findPortHolder(std::uint16_t port);

// The line that tells the user who holds the port; empty when nobody does.
std::string portHolderLine(std::uint16_t port, const PortHolder& holder);

// What the user is told when the server could not be set up.
constexpr char kStartFailedMessage[] = "Không thể khởi động ứng dụng.";

// kStartFailedMessage, followed on a line of its own by who holds the server's port when
// another program does.
std::string startFailureText();

}  // namespace quillmark
