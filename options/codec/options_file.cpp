#include "options/codec/options_file.h"

#include <algorithm>
#include <cstring>

#include "diag/text_format.h"
#include "options/codec/byte_order.h"

namespace ca {

namespace {

// Header fields.
constexpr size_t kFormatVersionAt = 12;
constexpr size_t kMajorAt = 20;
constexpr size_t kMinorAt = 24;
constexpr size_t kBuildAt = 28;
constexpr size_t kEntryCountAt = 40;
// Entry fields.
constexpr size_t kDataSizeAt = 4;
constexpr size_t kDataOffsetAt = 8;

constexpr uint32_t kNewestFormatVersion = 1;
// The table is read in pieces of this size; only entry 0 is kept.
constexpr uint32_t kTableChunk = 64 * 1024;

// The bytes of a value as it lies in memory on the platforms the module runs
// on: the dumps show lengths and counts this way.
std::vector<uint8_t> LittleEndianBytes(uint64_t value, size_t width) {
    std::vector<uint8_t> bytes(width);
    for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

bool Fail(OptionsFileFailure& failure, const char* point, int32_t code, unsigned messageId = 0) {
    failure = OptionsFileFailure{};
    failure.point = point;
    failure.code = code;
    failure.messageId = messageId;
    return false;
}

bool FailWithDump(OptionsFileFailure& failure, const char* point, int32_t code, uint64_t value, size_t width) {
    Fail(failure, point, code);
    failure.dumps.push_back(LittleEndianBytes(value, width));
    return false;
}

// A short read of the file: ERROR_INVALID_BLOCK, with the count that came.
constexpr int32_t kShortReadCode = 9;

}  // namespace

const char* ImportMessageText(unsigned id) {
    switch (id) {
        case kMsgCorruptFile:
            return "This file is corrupted or has an incorrect data format.";
        case kMsgCannotOpenFile:
            return "The program cannot open the file \"%s\".";
        case kMsgUseLatestVersion:
            return "Use the latest version of the program to open the file.";
        case kMsgHigherVersion:
            return "The configuration file was created for a higher version of the program.";
        case kMsgWrongDataType:
            return "The configuration file has the wrong type of data.";
        case kMsgOtherProgram:
            return "The configuration file is for another program.";
        case kMsgImportFailed:
            return "An error occurred when importing.";
        default:
            return nullptr;
    }
}

std::string OptionsFileFailure::ExtendedText() const {
    std::string text;
    for (const auto& block : dumps) text += FormatHexDump(block.data(), block.size());
    return text;
}

std::string CheckFailureText(const OptionsFileFailure& failure, const ImportTexts& texts) {
    std::string text;
    if (failure.messageId != 0) text = texts.Message(failure.messageId, std::string());
    if (failure.messageOfCode != 0) text = texts.SystemMessage(failure.messageOfCode);
    return text;
}

std::string UnreadableFileText(const std::string& path, const ImportTexts& texts) {
    return texts.Message(kMsgCannotOpenFile, path) + "\r\n\r\n" + texts.Message(kMsgCorruptFile, std::string());
}

std::string ImportFailureTail(const std::string& path, const uint8_t* header) {
    const uint8_t zero = 0;
    return FormatStrgLine(path) + FormatHexDump(&zero, 1) + FormatHexDump(header, kOptionsHeaderSize);
}

std::string ImportFailedText(const std::string& fileField, const std::string& folderField,
                             const std::string& text, const ImportTexts& texts) {
    return texts.Message(kMsgImportFailed, std::string()) + "  (" + fileField + ") (" + folderField + ")\r\n" + text;
}

uint32_t MemoryOptionsSource::Read(void* buffer, uint32_t count) {
    const size_t n = std::min<size_t>(count, size_ - position_);
    if (n) std::memcpy(buffer, data_ + position_, n);
    position_ += n;
    return static_cast<uint32_t>(n);
}

uint32_t OptionsFileContent::FormatVersion() const { return LoadLittle32(header + kFormatVersionAt); }
int32_t OptionsFileContent::MajorVersion() const { return static_cast<int32_t>(LoadLittle32(header + kMajorAt)); }
int32_t OptionsFileContent::MinorVersion() const { return static_cast<int32_t>(LoadLittle32(header + kMinorAt)); }
int32_t OptionsFileContent::BuildNumber() const { return static_cast<int32_t>(LoadLittle32(header + kBuildAt)); }
uint32_t OptionsFileContent::EntryCount() const { return LoadLittle32(header + kEntryCountAt); }

uint32_t OptionsFileContent::PackedVersion() const {
    const uint32_t major = header[kMajorAt];
    const uint32_t minor = header[kMinorAt];
    const uint32_t build = LoadLittle32(header + kBuildAt) & 0xFFFFu;
    return (major << 24) | (minor << 16) | build;
}

bool ReadOptionsFile(OptionsSource& source, const OptionsProduct& product, OptionsFileContent& content,
                     OptionsFileFailure& failure, SettingsUse use) {
    failure = OptionsFileFailure{};
    content.pack.reset();

    const uint64_t length = source.Length();
    if (length < kOptionsHeaderSize) return FailWithDump(failure, "VGUU4ZTD9E6LHKP", 0, length, 8);
    const uint32_t headerRead = source.Read(content.header, kOptionsHeaderSize);
    if (headerRead < kOptionsHeaderSize) return FailWithDump(failure, "FRCDCSWX4B7DREI", kShortReadCode, headerRead, 4);

    // The expected signature, NUL-padded when the product part is short.
    uint8_t expected[kOptionsSignatureSize] = {};
    std::memcpy(expected, product.signature.data(), std::min(product.signature.size(), kOptionsSignatureSize));
    if (std::memcmp(content.header, expected, 4) != 0) return Fail(failure, "A2VRFUVG7WN5VVR", 0);
    if (std::memcmp(content.header, expected, 8) != 0) return Fail(failure, "F5DB4GPCUPESNFC", 0, kMsgWrongDataType);
    if (std::memcmp(content.header, expected, 11) != 0) return Fail(failure, "BJMA7JIZXFKUGV8", 0, kMsgOtherProgram);
    if (std::memcmp(content.header, expected, 12) != 0) return Fail(failure, "MEE5BA38XSPVUAK", 0, kMsgOtherProgram);
    if (content.FormatVersion() > kNewestFormatVersion)
        return Fail(failure, "KNLNEYM26HT9D49", 0, kMsgUseLatestVersion);

    // major x 100 + minor of either side, in 64 bits so that no version wraps.
    const int64_t fileVersion = int64_t{content.MajorVersion()} * 100 + content.MinorVersion();
    const int64_t productVersion = int64_t{product.majorVersion} * 100 + product.minorVersion;
    if (fileVersion > productVersion) {
        Fail(failure, "EDUV295DHVV4BHY", 0, kMsgHigherVersion);
        failure.dumps.emplace_back(content.header + kMajorAt, content.header + kMajorAt + 4);
        failure.dumps.emplace_back(content.header + kMinorAt, content.header + kMinorAt + 4);
        return false;
    }

    const uint32_t entries = content.EntryCount();
    if (entries == 0) return true;
    // At most 12 x (2^32 - 1) bytes: no wrap in 64 bits.
    const uint64_t tableSize = uint64_t{kOptionsEntrySize} * entries;
    if (tableSize > length - kOptionsHeaderSize) return FailWithDump(failure, "AYGP538A46S2IVS", 0, length, 8);

    uint8_t entry0[kOptionsEntrySize] = {};
    uint64_t tableRead = 0;
    {
        std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(tableSize, kTableChunk)));
        while (tableRead < tableSize) {
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), tableSize - tableRead));
            const uint32_t got = source.Read(chunk.data(), want);
            if (tableRead < kOptionsEntrySize)
                std::memcpy(entry0 + tableRead, chunk.data(),
                            std::min<uint64_t>(got, kOptionsEntrySize - tableRead));
            tableRead += got;
            if (got < want) break;
        }
    }
    if (tableRead < tableSize) return FailWithDump(failure, "U2GRG68Z6T4ZINF", kShortReadCode, tableRead, 4);

    const uint64_t dataStart = kOptionsHeaderSize + tableSize;
    const uint32_t dataSize = LoadLittle32(entry0 + kDataSizeAt);
    const uint32_t dataOffset = LoadLittle32(entry0 + kDataOffsetAt);
    if (dataOffset > dataStart) return FailWithDump(failure, "NGM2RJJNIWIVPWS", 0, length, 8);
    if (dataSize > length - dataStart) return FailWithDump(failure, "DGH5GAWDEFH5DV7", 0, length, 8);

    // The data block is read from right after the table, whatever the offset
    // says, into a buffer that the read fills (nothing is cleared first).
    const auto data = std::make_unique_for_overwrite<uint8_t[]>(dataSize ? dataSize : 1);
    const uint32_t dataRead = dataSize ? source.Read(data.get(), dataSize) : 0;
    if (dataRead < dataSize) return FailWithDump(failure, "IR2UT7MZ99E34NC", kShortReadCode, dataRead, 4);

    auto pack = use == SettingsUse::Read ? std::make_unique<Pack>() : nullptr;
    const int64_t consumed = pack ? ReadPack(*pack, data.get(), dataSize, nullptr, 0) : CheckPack(data.get(), dataSize);
    if (consumed < 0) {
        Fail(failure, "L9BSTTZC99LWAUI", static_cast<int32_t>(consumed));
        failure.messageOfCode = kShortReadCode;
        return false;
    }
    content.pack = std::move(pack);
    return true;
}

std::vector<uint8_t> BuildOptionsFile(const OptionsFileHeader& header, const Pack* pack) {
    std::vector<uint8_t> packBytes;
    if (pack) {
        const int64_t size = PackSize(*pack, nullptr, 0);
        if (size < 0 || size > int64_t{UINT32_MAX}) return {};
        packBytes.resize(static_cast<size_t>(size));
        if (WritePack(*pack, packBytes.data(), packBytes.size(), nullptr, 0) != size) return {};
    }
    const size_t tableSize = pack ? kOptionsEntrySize : 0;
    std::vector<uint8_t> file(kOptionsHeaderSize + tableSize + packBytes.size(), 0);
    std::memcpy(file.data(), header.signature.data(), std::min(header.signature.size(), kOptionsSignatureSize));
    StoreLittle32(&file[kFormatVersionAt], header.formatVersion);
    StoreLittle32(&file[kMajorAt], static_cast<uint32_t>(header.majorVersion));
    StoreLittle32(&file[kMinorAt], static_cast<uint32_t>(header.minorVersion));
    StoreLittle32(&file[kBuildAt], static_cast<uint32_t>(header.buildNumber));
    StoreLittle32(&file[kEntryCountAt], pack ? 1u : 0u);
    if (pack) {
        uint8_t* entry = &file[kOptionsHeaderSize];
        StoreLittle32(entry + kDataSizeAt, static_cast<uint32_t>(packBytes.size()));
        StoreLittle32(entry + kDataOffsetAt, static_cast<uint32_t>(kOptionsHeaderSize + tableSize));
        if (!packBytes.empty()) std::memcpy(entry + kOptionsEntrySize, packBytes.data(), packBytes.size());
    }
    return file;
}

}  // namespace ca
