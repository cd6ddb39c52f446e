// libFuzzer harness: the JSON form of options files, from text to file.
#include <cstdio>
#include <cstdlib>

#include "options/fuzz/json_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string error = ca::fuzz::CheckOptionsJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!error.empty()) {
        std::fprintf(stderr, "broken property: %s\n", error.c_str());
        std::abort();
    }
    return 0;
}
