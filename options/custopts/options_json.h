// The JSON form of an options file, for reading and editing one by hand:
//
//   {
//     "signature": "QVRXOPTSCA01",      the first 12 bytes (trailing NULs left out)
//     "formatVersion": 1,
//     "majorVersion": 5, "minorVersion": 9, "buildNumber": 1234,
//     "settings": {                     the pack of entry 0; null: no table entries
//       "mode": 1,                      how the binx values of this pack are stored
//       "items": [
//         {"name": "Hotkey", "type": "int", "value": 65},
//         {"name": "Margins", "type": "int", "values": [0, -1]},
//         {"name": "<UNNAMED_VALUE>", "type": "str", "value": "default"},
//         {"name": "Layout", "type": "bin", "value": "76616C7565"},
//         {"name": "Token", "type": "binx", "value": "0102030405"},
//         {"name": "Window", "type": "pack", "value": {"mode": 0, "items": []}}
//       ]
//     }
//   }
//
// An item of one value has "value", any other count "values" (a list, empty
// for none). Byte blocks are hexadecimal digits (blanks between them are
// ignored when read); a block of negative length, which has no bytes, is
// {"length": -1}. binx values are given in the clear: they are enciphered
// under their pack's mode when the file is written. Texts, names and the
// signature are byte strings of the Windows-1252 code page shown as Unicode;
// every byte has its own character, so nothing is lost on the way back.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "options/codec/options_file.h"
#include "options/codec/pack.h"

namespace ca::custopts {

// The JSON text (indented, ending in a line end) of a file read with
// ReadOptionsFile: its header fields and its settings.
std::string OptionsJson(const OptionsFileContent& content);

// An options file as the JSON form describes it.
struct OptionsDocument {
    OptionsFileHeader header;
    std::unique_ptr<Pack> settings;  // null: a file without table entries
    // What is written as given but will not read back the same (an empty
    // binx value under mode 1 reads back as 4 zero bytes), or not at all (a
    // format version above 1).
    std::vector<std::string> warnings;
};

// Parses the JSON form. False with a message that names the place of the
// fault ("settings.items[2].value: ..."); never throws for bad input.
bool ParseOptionsJson(std::string_view text, OptionsDocument& document, std::string& error);

// The options file of a document (BuildOptionsFile); empty when the
// settings cannot be packed.
std::vector<uint8_t> BuildOptionsFile(const OptionsDocument& document);

// Windows-1252 byte strings and UTF-8. Bytes without a character of their
// own in the code page stand for the control character of their number.
std::string AnsiToUtf8(std::string_view bytes);
// False when the text holds a character the code page lacks.
bool Utf8ToAnsi(std::string_view text, std::string& bytes);

}  // namespace ca::custopts
