// custopts: inspect, check, convert and edit options files (see custopts.h).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options/custopts/custopts.h"
#include "options/custopts/tool_file.h"

int main(int argc, char** argv) {
    ca::custopts::UseBinaryStandardStreams();
    std::string out, err;
    int status = ca::custopts::kExitRefused;
    try {
        status = ca::custopts::Run(std::vector<std::string>(argv + 1, argv + argc), out, err);
    } catch (const std::exception& e) {
        // Out of memory, in practice: still a message, never a crash.
        err += std::string("custopts: ") + e.what() + "\n";
        status = ca::custopts::kExitRefused;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    if (std::fflush(stdout) != 0 && status == ca::custopts::kExitOk) {
        std::fputs("custopts: cannot write the standard output\n", stderr);
        status = ca::custopts::kExitRefused;
    }
    return status;
}
