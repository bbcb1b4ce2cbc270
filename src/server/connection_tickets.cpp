#include "server/connection_tickets.h"

#include <vector>

namespace quillmark {
namespace {

struct Slot {
    lws* wsi = nullptr;  // null: free
    std::uint32_t generation = 0;
    DeliverWork deliver = nullptr;
};

std::vector<Slot> slots;
std::vector<std::uint32_t> freeSlots;

}  // namespace

ConnectionTicket openTicket(lws* wsi, DeliverWork deliver) {
    std::uint32_t index;
    if (!freeSlots.empty()) {
        index = freeSlots.back();
        freeSlots.pop_back();
    } else {
        index = static_cast<std::uint32_t>(slots.size());
        slots.emplace_back();
    }
    Slot& slot = slots[index];
    slot.wsi = wsi;
    slot.deliver = deliver;
    if (++slot.generation == 0) slot.generation = 1;  // zero means no ticket
    return {index, slot.generation};
}

void closeTicket(ConnectionTicket& ticket) {
    if (!hasTicket(ticket) || ticket.slot >= slots.size()) return;
    Slot& slot = slots[ticket.slot];
    if (slot.generation == ticket.generation && slot.wsi != nullptr) {
        slot.wsi = nullptr;
        slot.deliver = nullptr;
        freeSlots.push_back(ticket.slot);
    }
    ticket = {};
}

lws* connectionOf(ConnectionTicket ticket, DeliverWork& deliver) {
    if (!hasTicket(ticket) || ticket.slot >= slots.size()) return nullptr;
    const Slot& slot = slots[ticket.slot];
    if (slot.generation != ticket.generation || slot.wsi == nullptr) return nullptr;
    deliver = slot.deliver;
    return slot.wsi;
}

}  // namespace quillmark
