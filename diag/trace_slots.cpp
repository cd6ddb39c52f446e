#include "diag/trace_slots.h"

#include "diag/trace_protocol.h"

#include <atomic>

namespace ca {

namespace {

// Constant-initialised: loading the module runs no code for them.
std::atomic<TraceProtocol*> g_slots[2];

std::atomic<TraceProtocol*>* Slot(int slot) {
    return slot == 1 || slot == 2 ? &g_slots[slot - 1] : nullptr;
}

}  // namespace

void AttachTraceProtocol(int slot, TraceProtocol* protocol) {
    if (auto* s = Slot(slot)) s->store(protocol);
}

void DetachTraceProtocol(int slot) {
    if (auto* s = Slot(slot)) s->store(nullptr);
}

void DetachTraceProtocol(const TraceProtocol* protocol) {
    for (auto& s : g_slots) {
        TraceProtocol* expected = const_cast<TraceProtocol*>(protocol);
        s.compare_exchange_strong(expected, nullptr);
    }
}

TraceProtocol* AttachedTraceProtocol(int slot) {
    auto* s = Slot(slot);
    return s ? s->load() : nullptr;
}

void WriteToTraceSlots(const std::string& text) {
    for (auto& s : g_slots) {
        TraceProtocol* protocol = s.load();
        if (protocol == nullptr) continue;
        if (protocol->WriteEntry(text, true, nullptr, false, false) != 0) {
            // Only this protocol is taken out; one attached meanwhile stays.
            s.compare_exchange_strong(protocol, nullptr);
        }
    }
}

}  // namespace ca
