// The JSON form of options files: JSON -> options file -> JSON, the files of
// the fuzzing corpus through JSON and back, and the refusals of bad JSON.
#include "options/custopts/options_json.h"
#include "options/fuzz/json_fuzz_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ca::custopts {
namespace {

// Reads an options file the way the tool does: whatever product it is for.
OptionsFileContent Read(const std::vector<uint8_t>& bytes) {
    const std::string signature(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 12));
    MemoryOptionsSource source(bytes.data(), bytes.size());
    OptionsFileContent content;
    OptionsFileFailure failure;
    EXPECT_TRUE(ReadOptionsFile(source, {signature, INT32_MAX, INT32_MAX}, content, failure)) << failure.point;
    return content;
}

std::vector<uint8_t> Pack(const std::string& json) {
    OptionsDocument document;
    std::string error;
    EXPECT_TRUE(ParseOptionsJson(json, document, error)) << error;
    return BuildOptionsFile(document);
}

// Every item form, in the layout the tool writes, so that a round trip must
// give back the very same text: all types, single values and arrays (none,
// one nested pack list), the unnamed value, nested packs of both modes,
// blocks of negative length, texts outside ASCII, a short signature.
const char kEveryForm[] = R"({
  "signature": "QVRXOPTSé",
  "formatVersion": 0,
  "majorVersion": -5,
  "minorVersion": 2147483647,
  "buildNumber": -2147483648,
  "settings": {
    "mode": 0,
    "items": [
      {"name": "Hotkey", "type": "int", "value": -2147483648},
      {"name": "Margins", "type": "int", "values": [0, -1, 2147483647]},
      {"name": "None", "type": "int", "values": []},
      {"name": "Café €", "type": "str", "value": "line\r\nbreak \"quoted\" \\ ÿ"},
      {"name": "Recent", "type": "str", "values": ["one", "", "three"]},
      {"name": "<UNNAMED_VALUE>", "type": "str", "value": ""},
      {"name": "Layout", "type": "bin", "values": ["00FF80", "", {"length": -7}]},
      {"name": "Plain", "type": "binx", "values": ["0102", {"length": -1}]},
      {"name": "Secret", "type": "pack", "value": {
        "mode": 1,
        "items": [
          {"name": "Token", "type": "binx", "value": "0102030405"},
          {"name": "Tokens", "type": "binx", "values": ["00000000", "0001020304050607"]},
          {"name": "Empty", "type": "pack", "value": {
            "mode": 2,
            "items": []
          }}
        ]
      }},
      {"name": "Pair", "type": "pack", "values": [
        {
          "mode": 0,
          "items": []
        },
        {
          "mode": 1,
          "items": [
            {"name": "x", "type": "int", "value": 1}
          ]
        }
      ]},
      {"name": "Nothing", "type": "pack", "values": []}
    ]
  }
}
)";

TEST(OptionsJson, JsonToFileToJsonGivesTheSameText) {
    const std::vector<uint8_t> file = Pack(kEveryForm);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(OptionsJson(Read(file)), kEveryForm);

    // binx values are enciphered under mode 1, plain under mode 0.
    const std::string bytes(file.begin(), file.end());
    EXPECT_EQ(bytes.find("\x01\x02\x03\x04\x05"), std::string::npos);
    EXPECT_NE(bytes.find(std::string("\x00\x00\x00\x02\x01\x02", 6)), std::string::npos);
    // The short signature is padded with NULs; the texts are Windows-1252 bytes.
    EXPECT_EQ(bytes.substr(0, 12), std::string("QVRXOPTS\xE9\0\0\0", 12));
    EXPECT_NE(bytes.find("Caf\xE9 \x80"), std::string::npos);

    // A file without table entries.
    const char kNoSettings[] =
        "{\n  \"signature\": \"QVRXOPTSCA01\",\n  \"formatVersion\": 1,\n  \"majorVersion\": 5,\n"
        "  \"minorVersion\": 9,\n  \"buildNumber\": 0,\n  \"settings\": null\n}\n";
    const std::vector<uint8_t> empty = Pack(kNoSettings);
    EXPECT_EQ(empty.size(), 48u);
    EXPECT_EQ(OptionsJson(Read(empty)), kNoSettings);
}

TEST(OptionsJson, WhatIsLeftOutOrChangedOnTheWayIn) {
    // Defaults, blanks between hex digits, lower-case digits, one value
    // given as a list, an empty name.
    OptionsDocument document;
    std::string error;
    ASSERT_TRUE(ParseOptionsJson(R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9,
        "settings": {"items": [{"name": "b", "type": "bin", "value": "de ad\nbe ef"},
                               {"name": "n", "type": "int", "values": [7]},
                               {"name": "", "type": "str", "value": "default"}]}})",
                                 document, error))
        << error;
    EXPECT_EQ(document.header.formatVersion, 1u);
    EXPECT_EQ(document.header.buildNumber, 0);
    EXPECT_EQ(document.settings->Mode(), 0);
    const PackBytes block = document.settings->Find("b")->Bytes(0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data), block.length), "\xDE\xAD\xBE\xEF");
    EXPECT_EQ(document.settings->Find("n")->Count(), 1);
    EXPECT_STREQ(document.settings->Last()->Name(), "<UNNAMED_VALUE>");
    EXPECT_TRUE(document.warnings.empty());

    // An empty binx value under mode 1 reads back as 4 zero bytes: said, and done.
    ASSERT_TRUE(ParseOptionsJson(R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9,
        "settings": {"mode": 1, "items": [{"name": "k", "type": "binx", "values": ["", "01"]}]}})",
                                 document, error));
    EXPECT_EQ(document.warnings, std::vector<std::string>{"settings.items[0].values[0]: an empty binx value under "
                                                          "mode 1 reads back as 4 zero bytes"});
    const OptionsFileContent content = Read(BuildOptionsFile(document));
    EXPECT_EQ(content.pack->First()->Bytes(0).length, 4);
    EXPECT_EQ(content.pack->First()->Bytes(1).length, 1);

    // A format the import refuses can be written, for trying that refusal.
    ASSERT_TRUE(ParseOptionsJson(R"({"signature": "QVRXOPTSCA01", "formatVersion": 2, "majorVersion": 5,
        "minorVersion": 9})", document, error));
    EXPECT_EQ(document.warnings,
              std::vector<std::string>{"formatVersion: the import refuses files of a format version above 1"});
    EXPECT_EQ(BuildOptionsFile(document)[12], 2);
}

std::vector<uint8_t> Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(OptionsJson, FilesOfTheFuzzCorpusKeepTheirSettingsThroughJson) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(CA_OPTIONS_FUZZDIR) / "options-corpus")) {
        SCOPED_TRACE(entry.path().filename().string());
        const OptionsFileContent original = Read(Contents(entry.path()));
        const std::string json = OptionsJson(original);
        const OptionsFileContent again = Read(Pack(json));
        EXPECT_EQ(std::memcmp(again.header, original.header, 32), 0);
        ASSERT_EQ(again.pack == nullptr, original.pack == nullptr);
        if (original.pack) {
            EXPECT_TRUE(PacksEqual(*again.pack, *original.pack, 1));
        }
        EXPECT_EQ(OptionsJson(again), json);
        ++files;
    }
    EXPECT_GE(files, 8);
}

TEST(OptionsJson, FuzzSeedsAndSavedCrashInputsKeepTheProperties) {
    int seeds = 0;
    for (const char* folder : {"json-corpus", "crashes"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(CA_OPTIONS_FUZZDIR) / folder)) {
            const std::vector<uint8_t> bytes = Contents(entry.path());
            EXPECT_EQ(fuzz::CheckOptionsJson(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())), "")
                << entry.path().filename();
            seeds += std::string_view(folder) == "json-corpus";
        }
    }
    EXPECT_GE(seeds, 10);
}

TEST(OptionsJson, BadJsonIsRefusedWithThePlaceOfTheFault) {
    const std::string head = R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9, )";
    auto items = [&](const std::string& list, int mode = 0) {
        return head + R"("settings": {"mode": )" + std::to_string(mode) + R"(, "items": [)" + list + "]}}";
    };
    std::string deep = R"({"name": "p", "type": "pack", "value": {"items": []}})";
    for (int i = 0; i < 512; ++i) deep = R"({"name": "p", "type": "pack", "value": {"items": [)" + deep + "]}}";
    const struct {
        std::string json;
        std::string error;
    } cases[] = {
        {"{\"signature\": ", "not a JSON text: parse error at line 1, column 15: syntax error"},
        {"[]", "expected an object with the header fields and \"settings\""},
        {R"({"majorVersion": 5, "minorVersion": 9})", "signature: missing"},
        {R"({"signature": "QVRXOPTSCA012", "majorVersion": 5, "minorVersion": 9})", "signature: longer than 12 bytes"},
        {R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9, "buildnumber": 1})",
         "buildnumber: unknown member"},
        {R"({"signature": "QVRXOPTSCA01", "majorVersion": 2147483648, "minorVersion": 9})",
         "majorVersion: expected a whole number from -2147483648 to 2147483647"},
        {R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9.5})",
         "minorVersion: expected a whole number from -2147483648 to 2147483647"},
        {head + R"("settings": []})", "settings: expected a pack: {\"mode\": 0, \"items\": [...]}"},
        {items(R"({"name": "a", "type": "int"})"), "settings.items[0]: give either \"value\" or \"values\""},
        {items(R"({"name": "a", "type": "float", "value": 1})"),
         "settings.items[0].type: expected \"pack\", \"int\", \"str\", \"bin\" or \"binx\""},
        {items(R"({"type": "int", "value": 1})"), "settings.items[0].name: missing"},
        {items(R"({"name": "a", "type": "int", "values": [1, "2"]})"),
         "settings.items[0].values[1]: expected a whole number from -2147483648 to 2147483647"},
        {items(R"({"name": "a", "type": "str", "value": "x\u0000y"})"),
         "settings.items[0].value: a text cannot hold a NUL character"},
        {items(R"({"name": "\u2603", "type": "int", "value": 1})"),
         "settings.items[0].name: holds a character that the Windows-1252 code page lacks"},
        {items(R"({"name": "a", "type": "bin", "value": "ABC"})"),
         "settings.items[0].value: an odd number of hexadecimal digits"},
        {items(R"({"name": "a", "type": "bin", "value": {"length": 3}})"),
         "settings.items[0].value.length: expected a whole number from -2147483648 to 0"},
        {items(R"({"name": "a", "type": "binx", "value": "01"})", 2),
         "settings.items[0]: binx values need their pack's mode to be 0 (stored plain) or 1 (enciphered)"},
        {items(R"({"name": "a", "type": "int", "value": 1}, {"name": "a", "type": "str", "value": ""})"),
         "settings.items[1].name: a second item named \"a\" in this pack"},
        {items(R"({"name": "<UNNAMED_VALUE>", "type": "int", "value": 1}, {"name": "", "type": "int", "value": 1})"),
         "settings.items[1].name: a second item named \"<UNNAMED_VALUE>\" in this pack"},
        {items(R"({"name": "p", "type": "pack", "value": {"mode": 0, "items": [{"name": "a", "type": "int", "value": []}]}})"),
         "settings.items[0].value.items[0].value: expected a whole number from -2147483648 to 2147483647"},
        {items(deep), "packs nested deeper than 512 levels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 200));
        OptionsDocument document;
        std::string error;
        EXPECT_FALSE(ParseOptionsJson(c.json, document, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(OptionsJson, EveryByteOfTheCodePageHasACharacterOfItsOwn) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string back;
    ASSERT_TRUE(Utf8ToAnsi(AnsiToUtf8(all), back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(AnsiToUtf8("\x80\x9F\xE9"), "\u20AC\u0178\u00E9");
    // U+0080 is not in the code page: byte 0x80 is the euro sign.
    EXPECT_FALSE(Utf8ToAnsi("\u0080", back));
    EXPECT_FALSE(Utf8ToAnsi("\xE9", back));  // not UTF-8
}

}  // namespace
}  // namespace ca::custopts
