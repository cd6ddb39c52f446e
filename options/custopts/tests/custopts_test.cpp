// The commands of the options-file tool: what they print, what they write,
// and how they refuse a wrong command line or a file they cannot use.
#include "options/custopts/custopts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "options/custopts/options_json.h"
#include "options/custopts/tool_file.h"

namespace ca::custopts {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome Custopts(std::vector<std::string> args) {
    Outcome o{};
    o.status = Run(args, o.out, o.err);
    return o;
}

class CustoptsTest : public ::testing::Test {
protected:
    CustoptsTest() {
        // A name of this process's own: test processes run side by side and
        // may start in the same millisecond, so GoogleTest's time-based seed
        // is no name for it.
        static const unsigned run = std::random_device{}();
        static int counter = 0;
        folder_ = std::filesystem::temp_directory_path() /
                  ("custopts_test_" + std::to_string(run) + "_" + std::to_string(++counter));
        std::filesystem::create_directories(folder_);
    }
    ~CustoptsTest() override { std::filesystem::remove_all(folder_); }

    std::string Path(const char* name) const { return (folder_ / name).string(); }
    std::string Write(const char* name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // An options file packed from JSON by the tool itself.
    std::string Options(const char* name, const std::string& json) const {
        const std::string source = Write("source.json", json);
        const Outcome packed = Custopts({"from-json", source, "--out", Path(name)});
        EXPECT_EQ(packed.status, kExitOk) << packed.err;
        return Path(name);
    }

private:
    std::filesystem::path folder_;
};

const char kSettings[] = R"({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9, "buildNumber": 1234,
  "settings": {"mode": 0, "items": [
    {"name": "Hotkey", "type": "int", "value": 65},
    {"name": "Path", "type": "str", "value": "C:\\Program Files\\\"x\""},
    {"name": "Note", "type": "str", "value": "two\r\nlines"},
    {"name": "Unset", "type": "str", "values": []},
    {"name": "Recent", "type": "str", "values": ["a", "b"]},
    {"name": "Pair", "type": "int", "values": [1, 2]},
    {"name": "<UNNAMED_VALUE>", "type": "str", "value": "default"},
    {"name": "Window", "type": "pack", "value": {"items": [{"name": "Left", "type": "int", "value": 10}]}},
    {"name": "Layout", "type": "bin", "value": "0102"}]}})";

TEST_F(CustoptsTest, WrongCommandLinesAreRefusedWithTheUsage) {
    const std::string file = Options("a.opts", kSettings);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "usage: custopts"},
        {{"export", file}, "unknown command \"export\""},
        {{"show"}, "show: the file is missing"},
        {{"show", file, "extra"}, "show: unexpected argument \"extra\""},
        {{"check", file, "--product", "CA01"}, "check: --version is missing"},
        {{"check", file, "--product", "CA01", "--version"}, "check: --version needs a value"},
        {{"check", file, "--product", "CA01", "--product", "CA01", "--version", "5.9"}, "--product is given twice"},
        {{"check", file, "--product", "CA001", "--version", "5.9"}, "--product takes the 4 product characters"},
        {{"check", file, "--product", "CA01", "--version", "5"}, "--version takes MAJOR.MINOR"},
        {{"check", file, "--product", "CA01", "--version", "5.99999999999"}, "--version takes MAJOR.MINOR"},
        {{"to-reg", file, "--root", "HKEY_USERS\\S-1-5\\Software\\App"}, "must start with HKEY_CURRENT_USER"},
        {{"to-reg", file, "--root", "HKCU\\Software\\\\App"}, "without empty parts"},
        {{"to-json", file, "--out", "x"}, "to-json: unknown option --out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome o = Custopts(c.args);
        EXPECT_EQ(o.status, kExitUsage);
        EXPECT_THAT(o.err, HasSubstr(c.message));
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(Custopts({"--help"}).status, kExitOk);
}

TEST_F(CustoptsTest, FilesThatCannotBeUsedAreRefused) {
    const std::string sound = Options("a.opts", kSettings);
    std::string truncated = Contents(sound);
    truncated.resize(truncated.size() - 3);
    const std::string damaged = Write("damaged.opts", truncated);
    for (const char* command : {"show", "to-json"}) {
        SCOPED_TRACE(command);
        Outcome o = Custopts({command, damaged});
        EXPECT_EQ(o.status, kExitRefused);
        EXPECT_THAT(o.err, StartsWith("custopts: " + damaged + " is not a readable options file (Code: 0 Point: "
                                      "DGH5GAWDEFH5DV7)\nThe program cannot open the file"));
        o = Custopts({command, Path("missing.opts")});
        EXPECT_EQ(o.status, kExitRefused);
        EXPECT_THAT(o.err, HasSubstr("(Code: 2 Point: D9Z2M53NXGIXHT8)\n" + SystemMessage(2)));
        EXPECT_EQ(o.out, "");
    }
    // A missing folder, and a folder where the file should be, as the system tells them.
    EXPECT_THAT(Custopts({"show", Path("nowhere/a.opts")}).err, HasSubstr("(Code: 3 Point: D9Z2M53NXGIXHT8)"));
    EXPECT_THAT(Custopts({"show", Path("")}).err, HasSubstr("(Code: 5 Point: D9Z2M53NXGIXHT8)"));

    // JSON that cannot be read or packed; the file it would replace stays.
    const std::string before = Contents(sound);
    const struct {
        std::string json;
        std::string message;
    } jsons[] = {
        {"{", "not a JSON text"},
        {R"({"signature": "QVRXOPTSCA01", "majorVersion": 5})", "minorVersion: missing"},
    };
    for (const auto& j : jsons) {
        const Outcome o = Custopts({"from-json", Write("bad.json", j.json), "--out", sound});
        EXPECT_EQ(o.status, kExitRefused);
        EXPECT_THAT(o.err, HasSubstr(j.message));
        EXPECT_EQ(Contents(sound), before);
    }
    EXPECT_THAT(Custopts({"from-json", Path("missing.json"), "--out", sound}).err, HasSubstr("cannot open"));
    const Outcome unwritable = Custopts({"from-json", Write("good.json", kSettings), "--out", Path("nowhere/a.opts")});
    EXPECT_EQ(unwritable.status, kExitRefused);
    EXPECT_THAT(unwritable.err, HasSubstr("cannot create"));
    EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));
}

TEST_F(CustoptsTest, ShowPrintsTheHeaderAndTheSettings) {
    const Outcome o = Custopts({"show", Options("a.opts", kSettings)});
    EXPECT_EQ(o.status, kExitOk) << o.err;
    EXPECT_THAT(o.out, HasSubstr("Signature:       QVRXOPTSCA01 (product \"CA01\")\n"
                                 "Format version:  1\n"
                                 "Options version: 5.9, build 1234\n"
                                 "Table entries:   1\n"
                                 "Version record:  MajorVer 5, MinorVer 9, NumbBuild 1234\n"
                                 "\npack[0] \n------------------------------\n"
                                 "  \"Hotkey\" = 65 (0x41)\n"));
    EXPECT_THAT(o.out, HasSubstr("  \"Window\" pack \n  ------------------------------\n    \"Left\" = 10 (0xA)\n"));
    EXPECT_EQ(o.out.find('\r'), o.out.find("two\r\nlines"));  // only inside the text itself

    const Outcome none = Custopts({"show", Options("b.opts", R"({"signature": "QVRXOPTS\u0001", "majorVersion": 1,
        "minorVersion": 0})")});
    EXPECT_THAT(none.out, HasSubstr("Signature:       QVRXOPTS\\x01\\x00\\x00\\x00 (product \"\\x01\\x00\\x00\\x00\")\n"));
    EXPECT_THAT(none.out, HasSubstr("\nNo settings: the table has no entries.\n"));
}

TEST_F(CustoptsTest, CheckAcceptsOrRefusesAsTheImport) {
    const std::string file = Options("a.opts", kSettings);
    Outcome o = Custopts({"check", file, "--product", "CA01", "--version", "5.9"});
    EXPECT_EQ(o.status, kExitOk);
    EXPECT_EQ(o.out, file + ": accepted by the import (options 5.9, build 1234; settings of 9 items)\n");

    o = Custopts({"check", file, "--product", "CA01", "--version", "5.8"});
    EXPECT_EQ(o.status, kExitRefused);
    EXPECT_THAT(o.out, StartsWith(file + ": refused by the import\n"
                                  "CA_ERROR_CODE: Code: 0 Point: FHYN8NRWDKZAI0R:EDUV295DHVV4BHY\n"
                                  "CA_ERROR_TEXT:\n"
                                  "An error occurred when importing.  (" + file + ") ()\n"
                                  "The configuration file was created for a higher version of the program.\n"
                                  "kwinst.log:\n"
                                  "[1] Code: 0 Point: EDUV295DHVV4BHY [The configuration file was created for a "
                                  "higher version of the program.][0000: 05000000"));
    EXPECT_THAT(o.out, HasSubstr("\n[3] FHYN8NRWDKZAI0R:EDUV295DHVV4BHY\n"));

    // Accepted by the check, refused by the run.
    const std::string pair = Options("pair.opts", R"({"signature": "QVRXOPTSCA01", "majorVersion": 5,
        "minorVersion": 9, "settings": {"items": [{"name": "p", "type": "pack", "values": [{}, {}]}]}})");
    o = Custopts({"check", pair, "--product", "CA01", "--version", "5.9"});
    EXPECT_EQ(o.status, kExitOk);
    EXPECT_THAT(o.out, HasSubstr("Note: ImportOpt_run refuses these settings (Code: 13 Point: "
                                 "MNORUE2LJU643YD:X9XEP84UYVP6B2T)"));
    o = Custopts({"to-reg", pair, "--root", "HKCU\\Software\\App"});
    EXPECT_EQ(o.status, kExitRefused);
    EXPECT_THAT(o.err, HasSubstr("ImportOpt_run refuses these settings"));
    EXPECT_EQ(o.out, "");
}

TEST_F(CustoptsTest, ToRegWritesWhatTheImportWrites) {
    const Outcome o = Custopts({"to-reg", Options("a.opts", kSettings), "--root", "hkcu\\Software\\Maker\\App"});
    ASSERT_EQ(o.status, kExitOk) << o.err;
    EXPECT_EQ(o.out,
              "REGEDIT4\r\n"
              "\r\n"
              "[-HKEY_CURRENT_USER\\Software\\Maker\\App\\Profiles]\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Maker\\App\\Profiles]\r\n"
              "\"Hotkey\"=dword:00000041\r\n"
              "\"Path\"=\"C:\\\\Program Files\\\\\\\"x\\\"\"\r\n"
              "\"Note\"=hex(1):74,77,6f,0d,0a,6c,69,6e,65,73,00\r\n"
              "\"Unset\"=hex(1):\r\n"
              "\"Recent\"=hex(7):61,00,62,00,00\r\n"
              "\"Pair\"=hex:68,96,79,16,01,00,00,00,00,02,00,00,00,01,00,00,00,02\r\n"
              "@=\"default\"\r\n"
              "\r\n"
              "[-HKEY_CURRENT_USER\\Software\\Maker\\App\\Profiles\\Window]\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Maker\\App\\Profiles\\Window]\r\n"
              "\"Left\"=dword:0000000a\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Maker\\App\\Profiles]\r\n"
              "\"Layout\"=hex:68,96,79,16,03,00,00,00,00,01,00,00,00,02,01,02\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Maker\\App\\OptionVersion]\r\n"
              "\"MajorVer\"=dword:00000005\r\n"
              "\"MinorVer\"=dword:00000009\r\n"
              "\"NumbBuild\"=dword:000004d2\r\n");

    // The machine's profiles; the version record stays the user's. No
    // table entries: the version record alone; version 0: the key alone.
    const std::string machine =
        Custopts({"to-reg", Options("a.opts", kSettings), "--root", "HKLM\\Software\\Maker\\App"}).out;
    EXPECT_THAT(machine, HasSubstr("\r\n[-HKEY_LOCAL_MACHINE\\Software\\Maker\\App\\Profiles]\r\n"));
    EXPECT_THAT(machine, HasSubstr("\r\n[HKEY_CURRENT_USER\\Software\\Maker\\App\\OptionVersion]\r\n"));
    EXPECT_EQ(Custopts({"to-reg", Options("b.opts", R"({"signature": "QVRXOPTSCA01", "majorVersion": 0,
                  "minorVersion": 0})"), "--root", "HKCU\\App"}).out,
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\App\\OptionVersion]\r\n");

    // Long data is wrapped as regedit wraps it; names with a line break have no .reg form.
    const std::string wide = Custopts({"to-reg", Options("c.opts", R"({"signature": "QVRXOPTSCA01",
        "majorVersion": 0, "minorVersion": 0, "settings": {"items": [{"name": "b", "type": "bin",
        "value": ")" + std::string(200, 'A') + R"("}]}})"), "--root", "HKCU\\App"}).out;
    EXPECT_THAT(wide, HasSubstr("\"b\"=hex:68,96,79,16,03,00,00,00,00,01,00,00,00,64,aa,aa,aa,aa,aa,aa,aa,aa,aa,\\\r\n"
                                "  aa,aa,"));
    for (const char* json : {R"({"name": "a\nb", "type": "int", "value": 1})",
                             R"({"name": "a\rb", "type": "pack", "value": {}})"}) {
        const Outcome broken = Custopts({"to-reg", Options("d.opts", std::string(R"({"signature": "QVRXOPTSCA01",
            "majorVersion": 0, "minorVersion": 0, "settings": {"items": [)") + json + "]}}"), "--root", "HKCU\\App"});
        EXPECT_EQ(broken.status, kExitRefused);
        EXPECT_THAT(broken.err, HasSubstr("holds a line break, which a .reg file cannot"));
    }
}

TEST_F(CustoptsTest, ToJsonAndFromJsonAreInverse) {
    const std::string file = Options("a.opts", kSettings);
    const Outcome json = Custopts({"to-json", file});
    ASSERT_EQ(json.status, kExitOk);
    const Outcome packed = Custopts({"from-json", Write("again.json", json.out), "--out", Path("again.opts")});
    EXPECT_EQ(packed.status, kExitOk) << packed.err;
    EXPECT_EQ(packed.err, "");
    EXPECT_EQ(Contents(Path("again.opts")), Contents(file));
    EXPECT_FALSE(std::filesystem::exists(Path("again.opts.custopts-new")));
    const Outcome warned = Custopts({"from-json", Write("w.json", R"({"signature": "QVRXOPTSCA01", "majorVersion": 0,
        "minorVersion": 0, "settings": {"mode": 1, "items": [{"name": "k", "type": "binx", "value": ""}]}})"),
                                     "--out", Path("w.opts")});
    EXPECT_EQ(warned.status, kExitOk);
    EXPECT_EQ(warned.err, "custopts: warning: settings.items[0].value: an empty binx value under mode 1 reads back "
                          "as 4 zero bytes\n");
}

}  // namespace
}  // namespace ca::custopts
