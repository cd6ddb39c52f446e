// libFuzzer harness of the per-user input checks: any bytes, split into the
// four ";"-terminated items with a double-byte code page whose lead bytes are
// 0x81 to 0xFE, then checked. The items put back together with their ";"
// must be the start of the input.
#include "actions/users/text/input_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
bool HighLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (ca::LeadBytePredicate lead : {&ca::NoLeadBytes, &HighLead}) {
        const auto items = ca::SplitTerminatedItems(text, 4, lead);
        if (!items) continue;
        std::string joined;
        for (const std::string& item : *items) joined += item + ";";
        if (text.compare(0, joined.size(), joined) != 0) std::abort();
        const ca::RemovalItems removal{(*items)[0], (*items)[1], (*items)[2], (*items)[3]};
        if (ca::AreRemovalItemsSafe(removal, lead) && removal.appFolder.empty()) std::abort();
        ca::FindLastChar(text, '\\', lead);
    }
    return 0;
}
