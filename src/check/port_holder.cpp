#include "check/port_holder.h"

#include <unistd.h>

#include "server/agent_port.h"
#include "server/socket_owner.h"

namespace quillmark {

PortHolder findPortHolder(std::uint16_t port) {
    PortHolder holder;
    const auto listener = listeningSocketOf(port);
    if (!listener) return holder;
    holder.uid = listener->uid;
    if (listener->uid != geteuid()) {
        holder.kind = PortHolder::Kind::OtherUser;
        return holder;
    }
    holder.kind = PortHolder::Kind::ThisUser;
    holder.program = programHoldingSocket(listener->inode);
    return holder;
}

std::string portHolderLine(std::uint16_t port, const PortHolder& holder) {
    const std::string portText = "Cổng " + std::to_string(port);
    switch (holder.kind) {
        case PortHolder::Kind::Nobody:
            return {};
        case PortHolder::Kind::OtherUser:
            return portText + " đang được dùng bởi một chương trình của người dùng khác (uid " +
                   std::to_string(holder.uid) + ").";
        case PortHolder::Kind::ThisUser:
            if (holder.program.empty())
                return portText + " đang được dùng bởi một chương trình khác.";
            return portText + " đang được dùng bởi chương trình " + holder.program + " của bạn.";
    }
    return {};
}

std::string startFailureText() {
    std::string text = kStartFailedMessage;
    const std::string holderLine = portHolderLine(kServerPort, findPortHolder(kServerPort));
    if (!holderLine.empty()) text += "\n" + holderLine;
    return text;
}

}  // namespace quillmark
