// The import's checks of an options file as the tool runs them: the same
// checks over the same bytes, the same failure sites, and the texts that
// ImportOpt_check records, publishes and logs when it refuses the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options/codec/options_file.h"

namespace ca::custopts {

// The record the options store keeps when it refuses a file.
struct ImportRefusal {
    std::string point;
    int32_t code = 0;
    std::string text;
    std::string extText;
};

struct CheckResult {
    bool accepted = false;
    OptionsFileContent content;  // the settings when accepted; the header as far as it was read
    ImportRefusal refusal;       // when refused
};

// Opens, checks and reads the file at `path` for `product` as the import's
// check mode does.
CheckResult CheckAsImport(const std::string& path, const OptionsProduct& product, const ImportTexts& texts);

// The product that accepts every file of the layout: the file's own
// signature and the highest version. What is left are the checks of the
// layout itself (size, format version, table, pack).
OptionsProduct AnyProductFor(const std::string& path);

// The file the import opens for the file and fallback folder of its
// parameters: the file itself when it exists, else the fallback folder
// followed directly by the file's name.
std::string ImportedPath(const std::string& file, const std::string& fallbackFolder);

// What ImportOpt_check makes of a refusal when its parameters name the file
// `file` and the fallback folder `fallbackFolder`.
struct PublishedRefusal {
    std::string errorText;                // CA_ERROR_TEXT
    std::string errorCode;                // CA_ERROR_CODE
    std::vector<std::string> logRecords;  // the kwinst.log records, in order
};
PublishedRefusal PublishedByCheck(const ImportRefusal& refusal, const std::string& file, const std::string& fallbackFolder,
                                  const ImportTexts& texts);

// Error point of ImportOpt_check where its worker fails.
inline constexpr char kCheckWorkerPoint[] = "FHYN8NRWDKZAI0R";
// Error points of ImportOpt_run and of its store where the settings cannot be saved.
inline constexpr char kRunWorkerPoint[] = "MNORUE2LJU643YD";
inline constexpr char kSaveProfilesPoint[] = "X9XEP84UYVP6B2T";

}  // namespace ca::custopts
