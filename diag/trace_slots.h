// The module's two trace slots. Each is empty or points at a trace protocol:
// records write their echo lines to both and take their trace snapshot from
// slot 1. A slot whose write fails is emptied and that protocol is not
// written to again through it. Nothing attaches a protocol in production.
#pragma once

#include <string>

namespace ca {

class TraceProtocol;

// Slots are numbered 1 and 2; other numbers are ignored.
void AttachTraceProtocol(int slot, TraceProtocol* protocol);
void DetachTraceProtocol(int slot);
// Empties every slot that holds `protocol`.
void DetachTraceProtocol(const TraceProtocol* protocol);
TraceProtocol* AttachedTraceProtocol(int slot);

// Writes a stamped entry to slot 1, then slot 2, emptying a slot whose
// protocol reports a failure.
void WriteToTraceSlots(const std::string& text);

}  // namespace ca
