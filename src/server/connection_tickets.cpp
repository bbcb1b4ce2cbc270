#include "server/connection_tickets.h"

namespace quillmark {

ConnectionTicket ConnectionTickets::open(lws* wsi, DeliverWork deliver) {
    std::uint32_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        index = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    slot.wsi = wsi;
    slot.deliver = deliver;
    if (++slot.generation == 0) slot.generation = 1;  // zero means no ticket
    return {index, slot.generation};
}

void ConnectionTickets::close(ConnectionTicket& ticket) {
    if (!hasTicket(ticket) || ticket.slot >= slots_.size()) return;
    Slot& slot = slots_[ticket.slot];
    if (slot.generation == ticket.generation && slot.wsi != nullptr) {
        slot.wsi = nullptr;
        slot.deliver = nullptr;
        freeSlots_.push_back(ticket.slot);
    }
    ticket = {};
}

lws* ConnectionTickets::connectionOf(ConnectionTicket ticket, DeliverWork& deliver) const {
    if (!hasTicket(ticket) || ticket.slot >= slots_.size()) return nullptr;
    const Slot& slot = slots_[ticket.slot];
    if (slot.generation != ticket.generation || slot.wsi == nullptr) return nullptr;
    deliver = slot.deliver;
    return slot.wsi;
}

}  // namespace quillmark
