// libFuzzer harness: the checks of an options file and the registry value
// encodings of what it holds (and of the raw input as value data).
#include <cstdio>
#include <cstdlib>

#include "options/fuzz/options_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string error = ca::fuzz::CheckOptionsFile(data, size);
    if (!error.empty()) {
        std::fprintf(stderr, "broken property: %s\n", error.c_str());
        std::abort();
    }
    return 0;
}
