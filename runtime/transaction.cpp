#include "runtime/transaction.h"

namespace ca {

namespace {

// "{" 8-4-4-4-12 hexadecimal digits "}".
bool IsBracedGuid(const std::string& text, size_t at) {
    static constexpr char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    constexpr size_t kLength = sizeof kShape - 1;
    if (text.size() - at != kLength) return false;
    for (size_t i = 0; i < kLength; ++i) {
        const char c = text[at + i];
        if (kShape[i] != 'X') {
            if (c != kShape[i]) return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

TransactionSwitch SplitTransactionSwitch(const std::string& customActionData) {
    const size_t bar = customActionData.rfind('|');
    if (bar == std::string::npos || !IsBracedGuid(customActionData, bar + 1)) return {customActionData, {}, {}};
    TransactionSwitch split{customActionData.substr(0, bar), customActionData.substr(bar + 1), {}};
    static constexpr char kRun[] = "|run ";
    const size_t run = split.data.rfind('|');
    if (run != std::string::npos && split.data.compare(run, sizeof kRun - 1, kRun) == 0) {
        split.run = split.data.substr(run + sizeof kRun - 1);
        split.data.resize(run);
    }
    return split;
}

}  // namespace ca
