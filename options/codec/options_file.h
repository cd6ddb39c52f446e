// Options files: what the application writes when a user exports his
// settings, and the checks the import makes before it trusts one. No Windows
// API here, so the checks build and run with any compiler.
//
// Layout (header and table integers 32-bit little-endian):
//   0   "QVRX"                        24  minor version of the options, signed
//   4   "OPTS"                        28  build number (low 16 bits used)
//   8   4 product characters          32  8 bytes, not examined
//   12  format version, 0 or 1        40  number of table entries
//   16  4 bytes, not examined         44  4 bytes, not examined
//   20  major version, signed
//   48  entry table, 12 bytes an entry: 4 not examined, data size, data offset
//   48 + 12 x entries: the data block of entry 0, one serialized Pack
//
// A check that fails names its site as plain data (OptionsFileFailure), so
// that the import can turn it into its error record and other tools can
// print the same message without the installer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/pack.h"

namespace ca {

constexpr size_t kOptionsHeaderSize = 48;
constexpr size_t kOptionsEntrySize = 12;
constexpr size_t kOptionsSignatureSize = 12;

// Numbers of the module's string-table texts the import reports with.
enum ImportMessageId : unsigned {
    kMsgCorruptFile = 60162,       // This file is corrupted or has an incorrect data format.
    kMsgCannotOpenFile = 60163,    // The program cannot open the file "%s".
    kMsgUseLatestVersion = 60164,  // Use the latest version of the program to open the file.
    kMsgHigherVersion = 60513,     // ... created for a higher version of the program.
    kMsgWrongDataType = 60514,     // ... has the wrong type of data.
    kMsgOtherProgram = 60515,      // ... is for another program.
    kMsgImportFailed = 60516,      // An error occurred when importing.
};

// The text of one of the numbers above exactly as the module's string table
// holds it (a printf format where it takes the file name); null for any
// other number.
const char* ImportMessageText(unsigned id);

// Where a check of an options file failed.
struct OptionsFileFailure {
    const char* point = nullptr;  // error point of the failing check
    int32_t code = 0;             // error code recorded with it
    unsigned messageId = 0;       // string-table number of its text; 0: none
    int32_t messageOfCode = 0;    // non-zero: the text is the system's message for this code
    // The extended text: the hexadecimal dump of each block, in this order.
    std::vector<std::vector<uint8_t>> dumps;

    std::string ExtendedText() const;
};

// The bytes of an options file, read front to back. Read returns fewer bytes
// than asked only at the end of the data; failures of the underlying file are
// the source's to raise.
class OptionsSource {
public:
    virtual ~OptionsSource() = default;
    virtual uint64_t Length() = 0;
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;
};

class MemoryOptionsSource : public OptionsSource {
public:
    MemoryOptionsSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Length() override { return size_; }
    uint32_t Read(void* buffer, uint32_t count) override;

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// What the installing product accepts.
struct OptionsProduct {
    std::string signature;  // "QVRX" "OPTS" and the 4 product characters
    int32_t majorVersion = 0;
    int32_t minorVersion = 0;
};

struct OptionsFileContent {
    uint8_t header[kOptionsHeaderSize] = {};  // zeros where it was not read
    // The settings of entry 0; null when the table has no entries, or when
    // they were only checked.
    std::unique_ptr<Pack> pack;

    uint32_t FormatVersion() const;
    int32_t MajorVersion() const;
    int32_t MinorVersion() const;
    int32_t BuildNumber() const;
    uint32_t EntryCount() const;
    // The version record of the file: major (low byte) in bits 24-31, minor
    // (low byte) in bits 16-23, build (low 16 bits) in bits 0-15.
    uint32_t PackedVersion() const;
};

// What becomes of the settings of a sound file: read into `content.pack`, or
// only checked, with the same verdict, and left out (the pack stays null).
enum class SettingsUse { Read, CheckOnly };

// Checks the header against the product, reads the entry table and the pack
// of entry 0. True on success; false with `failure` naming the check that
// failed (the header bytes read so far stay in `content`). Exceptions of the
// source pass through.
bool ReadOptionsFile(OptionsSource& source, const OptionsProduct& product, OptionsFileContent& content,
                     OptionsFileFailure& failure, SettingsUse use = SettingsUse::Read);

// Where the texts of a refused import come from: the module's string table
// and the system's messages in the import itself; tools that run without the
// module bring copies of them.
class ImportTexts {
public:
    virtual ~ImportTexts() = default;
    // String-table text `id`; the one that takes a file name gets `path`.
    virtual std::string Message(unsigned id, const std::string& path) const = 0;
    // The system's message for a code on one line; empty when it has none.
    virtual std::string SystemMessage(int32_t code) const = 0;
};

// The text a failed check is recorded with: its string-table message, or
// the system's message for messageOfCode; empty when it names neither (the
// record then takes the system's message for its code, or the pair below).
std::string CheckFailureText(const OptionsFileFailure& failure, const ImportTexts& texts);
// What a refused file is told with when nothing more precise is known:
// 60163 with the path, a blank line, 60162.
std::string UnreadableFileText(const std::string& path, const ImportTexts& texts);
// The lines every refused import ends its extended text with: the path, a
// zero byte and the 48 header bytes (zeros where the header was not read).
std::string ImportFailureTail(const std::string& path, const uint8_t* header);
// The text an import action publishes for a failure: 60516, the path and the
// fallback folder as the parameters give them, then the failure's own text.
std::string ImportFailedText(const std::string& fileField, const std::string& folderField,
                             const std::string& text, const ImportTexts& texts);

// The header of an options file to write.
struct OptionsFileHeader {
    std::string signature;  // the first 12 bytes; shorter ones are padded with NULs
    uint32_t formatVersion = 1;
    int32_t majorVersion = 0;
    int32_t minorVersion = 0;
    int32_t buildNumber = 0;
};

// An options file holding `pack` as its one entry (no pack: an empty table).
// Empty when the pack cannot be serialized.
std::vector<uint8_t> BuildOptionsFile(const OptionsFileHeader& header, const Pack* pack);

}  // namespace ca
