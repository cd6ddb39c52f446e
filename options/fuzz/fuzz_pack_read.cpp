// libFuzzer harness: the memory readers of packs and single items.
#include <cstdio>
#include <cstdlib>

#include "options/fuzz/pack_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string error = ca::fuzz::CheckReaders(data, size);
    if (!error.empty()) {
        std::fprintf(stderr, "broken property: %s\n", error.c_str());
        std::abort();
    }
    return 0;
}
