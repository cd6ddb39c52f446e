// The properties the per-user input checks keep for any bytes, shared by the
// fuzz harness and the unit test that replays its corpus and crash inputs:
// the input is split into the four ";"-terminated items with a single-byte
// and with a double-byte code page whose lead bytes are 0x81 to 0xFE; the
// items put back together with their ";" are the start of the input, and
// items that pass the safety check never name AppData itself.
#pragma once

#include "actions/users/text/input_text.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ca {

inline bool HighLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

inline bool RemovalItemsInputKeepsItsProperties(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (LeadBytePredicate lead : {&NoLeadBytes, &HighLeadByte}) {
        const auto items = SplitTerminatedItems(text, 4, lead);
        if (!items) continue;
        std::string joined;
        for (const std::string& item : *items) joined += item + ";";
        if (text.compare(0, joined.size(), joined) != 0) return false;
        const RemovalItems removal{(*items)[0], (*items)[1], (*items)[2], (*items)[3]};
        if (AreRemovalItemsSafe(removal, lead) && removal.appFolder.empty()) return false;
        FindLastChar(text, '\\', lead);
    }
    return true;
}

}  // namespace ca
