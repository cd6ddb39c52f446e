// Properties of the JSON form of options files that every input text must
// keep, shared by the fuzzing harness and the unit test that replays its
// corpus and the saved crash inputs. Refused text must say why; accepted
// text must pack into a file that the import's checks read, and whose JSON
// form packs into the same file again (one round settles every form the
// text may take). Returns an empty text, or the broken property.
#pragma once

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "options/custopts/options_json.h"

namespace ca::fuzz {

// The JSON form of an options file read with any product; false when the
// import's checks refuse it.
inline bool JsonOfFile(const std::vector<uint8_t>& file, std::string& json) {
    const std::string signature(file.begin(), file.begin() + std::min<size_t>(file.size(), kOptionsSignatureSize));
    MemoryOptionsSource source(file.data(), file.size());
    OptionsFileContent content;
    OptionsFileFailure failure;
    if (!ReadOptionsFile(source, {signature, INT32_MAX, INT32_MAX}, content, failure)) return false;
    json = custopts::OptionsJson(content);
    return true;
}

inline std::string CheckOptionsJson(std::string_view text) {
    custopts::OptionsDocument document;
    std::string error;
    if (!custopts::ParseOptionsJson(text, document, error)) return error.empty() ? "a refusal without a message" : "";
    const std::vector<uint8_t> first = custopts::BuildOptionsFile(document);
    if (first.empty()) return "accepted settings that cannot be packed";
    std::string json;
    if (!JsonOfFile(first, json)) {
        // Only a format the import does not read yet, and the writer said so.
        return document.header.formatVersion > 1 && !document.warnings.empty() ? ""
                                                                               : "a packed file fails the import's checks";
    }

    custopts::OptionsDocument again;
    if (!custopts::ParseOptionsJson(json, again, error)) return "the JSON form of a file is refused: " + error;
    if (!again.warnings.empty()) return "the JSON form of a file draws a warning";
    const std::vector<uint8_t> second = custopts::BuildOptionsFile(again);
    if (document.warnings.empty() && second != first) return "a file changes through its JSON form";
    std::string settled;
    if (!JsonOfFile(second, settled) || settled != json) return "the JSON form does not settle";
    return {};
}

}  // namespace ca::fuzz
