// custopts: the options-file tool for installer authors and support
// engineers, built from the portable core of the options import.
//
//   custopts show FILE
//   custopts check FILE --product XXXX --version MAJOR.MINOR [--fallback FOLDER]
//   custopts to-reg FILE --root KEY
//   custopts to-json FILE
//   custopts from-json JSON --out FILE
#pragma once

#include <string>
#include <vector>

namespace ca::custopts {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the file or the JSON text is refused, or a file cannot be used
inline constexpr int kExitUsage = 2;    // the command line is wrong

// Runs one command (`args` without the program name). What it prints goes
// to `out` and `err`, as bytes for the standard streams.
int Run(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace ca::custopts
