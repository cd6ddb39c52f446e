// The checks of an options file over its bytes: every failure site with its
// code, message and dumps, and what a sound file yields.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diag/text_format.h"
#include "options/codec/options_file.h"
#include "options/tests/pack_test_util.h"

namespace ca {
namespace {

using Bytes = std::vector<uint8_t>;

const char kSignature[] = "QVRXOPTSCA01";

Pack Settings() {
    Pack pack;
    pack.Add(std::make_unique<PackItem>("Count", 7));
    pack.Add(std::make_unique<PackItem>("Name", "value"));
    Pack inner;
    inner.Add(std::make_unique<PackItem>("Flag", 1));
    pack.Add(std::make_unique<PackItem>("Profile", inner));
    return pack;
}

Bytes SoundFile(int32_t major = 5, int32_t minor = 9) {
    const Pack pack = Settings();
    return BuildOptionsFile({kSignature, 1, major, minor, 1234}, &pack);
}

void Put32(Bytes& file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const Bytes& file, size_t at) {
    return uint32_t{file[at]} | uint32_t{file[at + 1]} << 8 | uint32_t{file[at + 2]} << 16 | uint32_t{file[at + 3]} << 24;
}

Bytes Little(uint64_t value, size_t width) {
    Bytes bytes(width);
    for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

// A source that delivers only the first `limit` bytes but reports the whole
// length, as a file shrinking under the reader would.
class ShortSource : public MemoryOptionsSource {
public:
    ShortSource(const Bytes& bytes, uint64_t limit) : MemoryOptionsSource(bytes.data(), bytes.size()), left_(limit) {}
    uint32_t Read(void* buffer, uint32_t count) override {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, left_));
        left_ -= n;
        return MemoryOptionsSource::Read(buffer, n);
    }

private:
    uint64_t left_;
};

struct Outcome {
    bool ok;
    OptionsFileFailure failure;
    OptionsFileContent content;
};

// Read as the run reads it; a check of the same file that leaves the
// settings out must come to the same verdict at the same site.
Outcome Check(const Bytes& file, OptionsProduct product = {kSignature, 5, 9}, uint64_t readLimit = UINT64_MAX) {
    Outcome out, checked;
    ShortSource source(file, readLimit), again(file, readLimit);
    out.ok = ReadOptionsFile(source, product, out.content, out.failure);
    checked.ok = ReadOptionsFile(again, product, checked.content, checked.failure, SettingsUse::CheckOnly);
    EXPECT_EQ(checked.ok, out.ok);
    EXPECT_STREQ(checked.failure.point, out.failure.point);
    EXPECT_EQ(checked.failure.code, out.failure.code);
    EXPECT_EQ(checked.failure.messageId, out.failure.messageId);
    EXPECT_EQ(checked.failure.messageOfCode, out.failure.messageOfCode);
    EXPECT_EQ(checked.failure.dumps, out.failure.dumps);
    EXPECT_EQ(Bytes(checked.content.header, checked.content.header + 48), Bytes(out.content.header, out.content.header + 48));
    EXPECT_EQ(checked.content.pack, nullptr);
    return out;
}

struct SiteCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    uint64_t readLimit;
    const char* point;
    int32_t code;
    unsigned messageId;
    std::function<std::vector<Bytes>(const Bytes&)> dumps;
};

std::vector<Bytes> NoDumps(const Bytes&) { return {}; }
std::vector<Bytes> LengthDump(const Bytes& file) { return {Little(file.size(), 8)}; }

TEST(OptionsFile, EveryFailureSiteWithItsCodeMessageAndDumps) {
    const uint64_t all = UINT64_MAX;
    const SiteCase cases[] = {
        {"47 bytes", [](Bytes& f) { f.resize(47); }, all, "VGUU4ZTD9E6LHKP", 0, 0, LengthDump},
        {"empty file", [](Bytes& f) { f.clear(); }, all, "VGUU4ZTD9E6LHKP", 0, 0, LengthDump},
        {"header read short", nullptr, 30, "FRCDCSWX4B7DREI", 9, 0,
         [](const Bytes&) { return std::vector<Bytes>{Little(30, 4)}; }},
        {"magic", [](Bytes& f) { f[3] = 'Y'; }, all, "A2VRFUVG7WN5VVR", 0, 0, NoDumps},
        {"file type", [](Bytes& f) { f[7] = 'Z'; }, all, "F5DB4GPCUPESNFC", 0, kMsgWrongDataType, NoDumps},
        {"product, first characters", [](Bytes& f) { f[10] = '9'; }, all, "BJMA7JIZXFKUGV8", 0, kMsgOtherProgram,
         NoDumps},
        {"product, fourth character", [](Bytes& f) { f[11] = '2'; }, all, "MEE5BA38XSPVUAK", 0, kMsgOtherProgram,
         NoDumps},
        {"format version 2", [](Bytes& f) { Put32(f, 12, 2); }, all, "KNLNEYM26HT9D49", 0, kMsgUseLatestVersion,
         NoDumps},
        {"format version above 2^31", [](Bytes& f) { Put32(f, 12, 0x80000000u); }, all, "KNLNEYM26HT9D49", 0,
         kMsgUseLatestVersion, NoDumps},
        {"options 5.10 for product 5.9", [](Bytes& f) { Put32(f, 24, 10); }, all, "EDUV295DHVV4BHY", 0,
         kMsgHigherVersion, [](const Bytes&) { return std::vector<Bytes>{Little(5, 4), Little(10, 4)}; }},
        // 2147483647 x 100 wraps to a negative number in 32 bits.
        {"options major 2^31-1", [](Bytes& f) { Put32(f, 20, INT32_MAX); }, all, "EDUV295DHVV4BHY", 0,
         kMsgHigherVersion,
         [](const Bytes&) { return std::vector<Bytes>{Little(INT32_MAX, 4), Little(9, 4)}; }},
        // 12 x 0x15555556 wraps to 8 in 32 bits, which the file would hold.
        {"entry count whose table size wraps", [](Bytes& f) { Put32(f, 40, 0x15555556u); }, all, "AYGP538A46S2IVS", 0,
         0, LengthDump},
        {"entry count 2^32-1", [](Bytes& f) { Put32(f, 40, UINT32_MAX); }, all, "AYGP538A46S2IVS", 0, 0,
         LengthDump},
        {"table past the end", [](Bytes& f) { f.resize(48 + 11); }, all, "AYGP538A46S2IVS", 0, 0, LengthDump},
        {"table read short", nullptr, 50, "U2GRG68Z6T4ZINF", 9, 0,
         [](const Bytes&) { return std::vector<Bytes>{Little(2, 4)}; }},
        {"data offset after the table", [](Bytes& f) { Put32(f, 56, 61); }, all, "NGM2RJJNIWIVPWS", 0, 0,
         LengthDump},
        {"data past the end", [](Bytes& f) { f.pop_back(); }, all, "DGH5GAWDEFH5DV7", 0, 0, LengthDump},
        {"data size 2^32-1", [](Bytes& f) { Put32(f, 52, UINT32_MAX); }, all, "DGH5GAWDEFH5DV7", 0, 0, LengthDump},
        {"data read short", nullptr, 70, "IR2UT7MZ99E34NC", 9, 0,
         [](const Bytes&) { return std::vector<Bytes>{Little(10, 4)}; }},
        {"invalid item type", [](Bytes& f) { Put32(f, 60 + 8, 0x04000000u); }, all, "L9BSTTZC99LWAUI", -2, 0,
         NoDumps},
        {"pack cut short by the data size", [](Bytes& f) { Put32(f, 52, 20); }, all, "L9BSTTZC99LWAUI", -1, 0,
         NoDumps},
    };
    for (const SiteCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = SoundFile();
        if (c.damage) c.damage(file);
        const Outcome out = Check(file, {kSignature, 5, 9}, c.readLimit);
        EXPECT_FALSE(out.ok);
        EXPECT_STREQ(out.failure.point, c.point);
        EXPECT_EQ(out.failure.code, c.code);
        EXPECT_EQ(out.failure.messageId, c.messageId);
        EXPECT_EQ(out.failure.messageOfCode, std::strcmp(c.point, "L9BSTTZC99LWAUI") == 0 ? 9 : 0);
        EXPECT_EQ(out.failure.dumps, c.dumps(file));
        EXPECT_EQ(out.content.pack, nullptr);
    }
}

TEST(OptionsFile, KeepsTheHeaderBytesReadForTheReport) {
    Bytes file = SoundFile();
    file[3] = 'Y';
    Outcome out = Check(file);
    EXPECT_EQ(Bytes(out.content.header, out.content.header + 48), Bytes(file.begin(), file.begin() + 48));
    const Bytes sound = SoundFile();
    out = Check(sound, {kSignature, 5, 9}, 20);
    EXPECT_EQ(Bytes(out.content.header, out.content.header + 20), Bytes(sound.begin(), sound.begin() + 20));
    EXPECT_EQ(Bytes(out.content.header + 20, out.content.header + 48), Bytes(28, 0));
}

TEST(OptionsFile, ExtendedTextIsTheDumpOfEachBlockInOrder) {
    OptionsFileFailure failure;
    failure.dumps = {{5, 0, 0, 0}, {10, 0, 0, 0}};
    const uint8_t five[] = {5, 0, 0, 0}, ten[] = {10, 0, 0, 0};
    EXPECT_EQ(failure.ExtendedText(), FormatHexDump(five, 4) + FormatHexDump(ten, 4));
    EXPECT_EQ(OptionsFileFailure{}.ExtendedText(), "");
}

TEST(OptionsFile, VersionsAreComparedAsMajorTimes100PlusMinor) {
    const Bytes file = SoundFile(5, 10);
    EXPECT_FALSE(Check(file, {kSignature, 5, 9}).ok);
    EXPECT_TRUE(Check(file, {kSignature, 5, 10}).ok);
    EXPECT_TRUE(Check(file, {kSignature, 6, 0}).ok);
    EXPECT_TRUE(Check(file, {kSignature, 4, 110}).ok);  // 510 as well
    EXPECT_TRUE(Check(file, {kSignature, INT32_MAX, 0}).ok);
    EXPECT_FALSE(Check(SoundFile(INT32_MIN + 1, 0), {kSignature, INT32_MIN, 0}).ok);
    EXPECT_TRUE(Check(SoundFile(-1, 0), {kSignature, 0, 0}).ok);
}

TEST(OptionsFile, SoundFilesAndWhatTheyHold) {
    // Format version 0, trailing bytes after the data block and after the pack.
    Bytes file = SoundFile();
    Put32(file, 12, 0);
    Put32(file, 52, Get32(file, 52) + 3);
    file.insert(file.end(), {1, 2, 3, 4, 5, 6});
    Outcome out = Check(file);
    ASSERT_TRUE(out.ok) << out.failure.point;
    ASSERT_NE(out.content.pack, nullptr);
    EXPECT_TRUE(PacksEqual(*out.content.pack, Settings(), 1));
    EXPECT_EQ(out.content.FormatVersion(), 0u);
    EXPECT_EQ(out.content.PackedVersion(), (5u << 24) | (9u << 16) | 1234u);

    // No entries: nothing after the header is read.
    const OptionsFileHeader header{kSignature, 1, 0x1FF, 0x102, 0x7ABCD};
    out = Check(BuildOptionsFile(header, nullptr), {kSignature, 600, 0});
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.content.pack, nullptr);
    EXPECT_EQ(out.content.PackedVersion(), 0xFF02ABCDu);  // low bytes and the low 16 bits

    // Data size 0: an empty pack.
    file = SoundFile();
    Put32(file, 52, 0);
    out = Check(file);
    ASSERT_TRUE(out.ok);
    ASSERT_NE(out.content.pack, nullptr);
    EXPECT_EQ(out.content.pack->Count(), 0);

    // Three entries: the data of entry 0 follows the table; a smaller offset is no matter.
    file = SoundFile();
    Put32(file, 40, 3);
    file.insert(file.begin() + 60, 24, 0);
    Put32(file, 56, 0);
    out = Check(file);
    ASSERT_TRUE(out.ok) << out.failure.point;
    EXPECT_TRUE(PacksEqual(*out.content.pack, Settings(), 1));
}

TEST(OptionsFile, ShortProductCharactersArePaddedWithNuls) {
    Bytes file = SoundFile();
    file[10] = file[11] = 0;
    EXPECT_TRUE(Check(file, {"QVRXOPTSCA", 5, 9}).ok);
    EXPECT_STREQ(Check(SoundFile(), {"QVRXOPTSCA", 5, 9}).failure.point, "BJMA7JIZXFKUGV8");
}

TEST(OptionsFile, MessageTexts) {
    EXPECT_STREQ(ImportMessageText(kMsgCannotOpenFile), "The program cannot open the file \"%s\".");
    EXPECT_STREQ(ImportMessageText(kMsgImportFailed), "An error occurred when importing.");
    EXPECT_EQ(ImportMessageText(60517), nullptr);
}

}  // namespace
}  // namespace ca
