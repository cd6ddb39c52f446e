// libFuzzer harness of the per-user input checks (properties in
// removal_items_checks.h).
#include "removal_items_checks.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!ca::RemovalItemsInputKeepsItsProperties(data, size)) std::abort();
    return 0;
}
