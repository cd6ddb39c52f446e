// The tool held against the import actions in a real installer session:
// its check gives what ImportOpt_check publishes and logs, file by file of
// the failure corpus, and its .reg text, imported with reg.exe, gives the
// registry that ImportOpt_run leaves.
#include "installer_session.h"
#include "options/custopts/custopts.h"
#include "options/custopts/import_check.h"
#include "options/custopts/reg_text.h"
#include "options/custopts/tool_file.h"
#include "options/tests/import_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

extern "C" UINT __stdcall ImportOpt_check(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);

namespace ca::test {

// Registry values in failure messages: type and data bytes.
void PrintTo(const RegValue& value, std::ostream* out) {
    *out << "type " << value.type << ":";
    for (const uint8_t byte : value.data) *out << ' ' << std::hex << int{byte} << std::dec;
}

}  // namespace ca::test

namespace ca {
namespace {

using test::Bytes;

void Put32(Bytes& file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Lines(std::string text) {
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
}

// The files of the import's failure corpus: each check of the file's bytes
// failing once, as the options store tests damage the sample file; then the
// fuzzing seeds and saved crash inputs (accepted or refused, whichever).
std::vector<std::pair<std::string, Bytes>> FailureCorpus() {
    const struct {
        const char* name;
        std::function<void(Bytes&)> damage;
    } damages[] = {
        {"empty", [](Bytes& f) { f.clear(); }},
        {"47 bytes", [](Bytes& f) { f.resize(47); }},
        {"magic", [](Bytes& f) { f[0] = 'q'; }},
        {"not an options file", [](Bytes& f) { f[4] = 'X'; }},
        {"another program", [](Bytes& f) { f[8] = 'X'; }},
        {"another edition", [](Bytes& f) { f[11] = 'X'; }},
        {"format version 2", [](Bytes& f) { Put32(f, 12, 2); }},
        {"format version 0", [](Bytes& f) { Put32(f, 12, 0); }},
        {"options 5.10", [](Bytes& f) { Put32(f, 24, 10); }},
        {"options 6.0", [](Bytes& f) { Put32(f, 20, 6), Put32(f, 24, 0); }},
        {"entry count whose table size wraps", [](Bytes& f) { Put32(f, 40, 0x15555556u); }},
        {"no entries", [](Bytes& f) { Put32(f, 40, 0); }},
        {"data offset", [](Bytes& f) { Put32(f, 56, 100); }},
        {"data size 0", [](Bytes& f) { Put32(f, 52, 0); }},
        {"truncated", [](Bytes& f) { f.resize(f.size() - 5); }},
        {"trailing bytes", [](Bytes& f) { f.insert(f.end(), {1, 2, 3}); }},
        {"corrupt pack", [](Bytes& f) { f[60 + 11] = 4; }},
        {"pack cut short", [](Bytes& f) { Put32(f, 52, 20); }},
    };
    std::vector<std::pair<std::string, Bytes>> corpus;
    for (const auto& d : damages) {
        Bytes file = test::SampleFile();
        d.damage(file);
        corpus.emplace_back(d.name, file);
    }
    for (const char* folder : {"options-corpus", "crashes"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(CA_OPTIONS_FUZZDIR) / folder)) {
            if (entry.is_regular_file() && entry.path().extension() != ".txt")
                corpus.emplace_back(entry.path().filename().string(), Contents(entry.path()));
        }
    }
    return corpus;
}

class CustoptsImportTest : public ::testing::Test {
protected:
    static constexpr char kFields[] = "ignored;0;5;9;100;CA;01;";

    struct Check {
        bool published;
        std::vector<std::pair<std::string, std::string>> writes;
        std::vector<std::string> records;
    };

    // ImportOpt_check with the file and the fallback folder in its parameters.
    Check RunImportCheck(const std::string& file, const std::string& fallback) {
        session.Set("IMPORTOPTPRM", kFields + key.Path() + ";" + fallback + ";" + file + ";");
        log.Remove();
        test::PropertyWrites writes;
        EXPECT_EQ(ImportOpt_check(session.Handle()), 0u);
        return Check{!writes.Writes().empty(), writes.Writes(), log.Records()};
    }

    // The tool's check of the same file: its record, and what it prints.
    void ExpectSameCheck(const std::string& file, const std::string& fallback) {
        const Check import = RunImportCheck(file, fallback);
        const custopts::CheckResult tool = custopts::CheckAsImport(custopts::ImportedPath(file, fallback),
                                                                   {test::kSignature, 5, 9}, custopts::ToolImportTexts());
        std::string out, err;
        const int status = custopts::Run({"check", file, "--product", "CA01", "--version", "5.9", "--fallback", fallback},
                                         out, err);
        EXPECT_EQ(err, "");
        ASSERT_EQ(tool.accepted, !import.published);
        if (tool.accepted) {
            EXPECT_EQ(status, custopts::kExitOk);
            EXPECT_THAT(out, ::testing::StartsWith(file + ": accepted by the import"));
            return;
        }
        const custopts::PublishedRefusal published =
            custopts::PublishedByCheck(tool.refusal, file, fallback, custopts::ToolImportTexts());
        ASSERT_EQ(import.writes.size(), 3u);
        EXPECT_EQ(import.writes[0], (std::pair<std::string, std::string>("IS_CA_ERROR", "1")));
        EXPECT_EQ(import.writes[1].second, published.errorText);
        EXPECT_EQ(import.writes[2].second, published.errorCode);
        EXPECT_EQ(import.records, published.logRecords);

        EXPECT_EQ(status, custopts::kExitRefused);
        std::string expected = custopts::ImportedPath(file, fallback) + ": refused by the import\n" +
                               "CA_ERROR_CODE: " + import.writes[2].second + "\n" +
                               "CA_ERROR_TEXT:\n" + Lines(import.writes[1].second) + "\nkwinst.log:\n";
        for (size_t i = 0; i < import.records.size(); ++i)
            expected += "[" + std::to_string(i + 1) + "] " + Lines(import.records[i]) + "\n";
        EXPECT_EQ(out, expected);
    }

    test::InstallerLog log;
    test::InstallerSession session;
    test::ScratchFolder folder;
    test::ScratchKey key;
};

TEST_F(CustoptsImportTest, CheckAgreesWithImportOptCheckOnTheFailureCorpus) {
    int refused = 0;
    for (const auto& [name, bytes] : FailureCorpus()) {
        SCOPED_TRACE(name);
        const std::string path = folder.File("settings.opts");
        test::WriteFileBytes(path, bytes);
        ExpectSameCheck(path, "");
        refused += log.Records().empty() ? 0 : 1;
    }
    EXPECT_GE(refused, 14);

    // What the file system refuses: a missing file looked for in the
    // fallback folder, a missing folder, a folder, a file held open.
    SCOPED_TRACE("file system");
    const std::string fallback = folder.File("");
    ExpectSameCheck("C:\\nowhere\\settings.opts", fallback);
    ExpectSameCheck("C:\\nowhere\\settings.opts", "C:\\nowhere either\\");
    ::CreateDirectoryA(folder.File("sub").c_str(), nullptr);
    ExpectSameCheck(folder.File("sub"), fallback);
    ::RemoveDirectoryA(folder.File("sub").c_str());
    test::WriteFileBytes(folder.File("held.opts"), test::SampleFile());
    HANDLE holder = ::CreateFileA(folder.File("held.opts").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ExpectSameCheck(folder.File("held.opts"), fallback);
    ::CloseHandle(holder);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path()), (test::RegTree{{"<absent>", {}}}));
}

// Runs reg.exe import on a file; its exit code.
DWORD RegImport(const std::string& file) {
    std::string command = "reg.exe import \"" + file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &process))
        return ::GetLastError();
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return exitCode;
}

// Settings that test the .reg forms: letter-case twins of values and of
// packs, texts with line breaks, quotes, backslashes and letters outside
// ASCII, an empty text list, a subkey path in a name, long binary data.
Pack RegFormsSettings() {
    Pack first, second;
    first.Add(std::make_unique<PackItem>("Only in the first", 1));
    first.Add(std::make_unique<PackItem>("Shared", 1));
    second.Add(std::make_unique<PackItem>("Shared", 2));
    const char* texts[] = {"a", "", nullptr, "d\r\ne"};
    const std::vector<uint8_t> wide(300, 0xA5);
    Pack settings;
    settings.Add(std::make_unique<PackItem>("Name", "first"));
    settings.Add(std::make_unique<PackItem>("Sub", first));
    settings.Add(std::make_unique<PackItem>("Note", "two\r\nlines \"quoted\" C:\\path\\ caf\xE9"));
    settings.Add(std::make_unique<PackItem>("Texts", texts, 4));
    settings.Add(std::make_unique<PackItem>("None", texts, 0));
    settings.Add(std::make_unique<PackItem>("Path\\With\\Backslash", "v"));
    settings.Add(std::make_unique<PackItem>("Deep\\Key", second));
    settings.Add(std::make_unique<PackItem>("Wide", wide.data(), static_cast<int32_t>(wide.size()), false));
    settings.Add(std::make_unique<PackItem>("NAME", "second"));
    settings.Add(std::make_unique<PackItem>("SUB", second));
    settings.Add(std::make_unique<PackItem>("", "default"));
    return settings;
}

TEST_F(CustoptsImportTest, ToRegImportedWithRegGivesWhatImportOptRunWrites) {
    const Pack forms = RegFormsSettings();
    Bytes versionZero = test::SampleFile(0, 0, 0);
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"sample", test::SampleFile()},
        {"every item form", Contents(std::filesystem::path(CA_OPTIONS_FUZZDIR) / "options-corpus" / "profiles.opts")},
        {"the .reg forms", BuildOptionsFile({test::kSignature, 1, 5, 9, 77}, &forms)},
        {"no entries", BuildOptionsFile({test::kSignature, 1, 5, 2, 3}, nullptr)},
        {"version 0", versionZero},
        {"empty data block", [] {
             Bytes f = test::SampleFile();
             Put32(f, 52, 0);
             return f;
         }()},
    };
    for (const int32_t scope : {0, 1}) {
        for (const auto& [name, bytes] : files) {
            SCOPED_TRACE(name + (scope ? " (machine)" : " (user)"));
            const HKEY profilesRoot = scope == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
            test::ScratchKey byRun, byReg;
            // What is there before: profiles that must go, a record value that stays.
            for (const test::ScratchKey* k : {&byRun, &byReg}) {
                test::SetValue(profilesRoot, k->Path("Profiles\\Stale"), "old", REG_DWORD, {1, 0, 0, 0});
                test::SetValue(profilesRoot, k->Path("Profiles"), "Name", REG_SZ, {'o', 0});
                test::SetValue(HKEY_CURRENT_USER, k->Path("OptionVersion"), "Kept", REG_SZ, {'k', 0});
            }
            const std::string path = folder.File("settings.opts");
            test::WriteFileBytes(path, bytes);

            session.Set("CustomActionData", "ignored;" + std::to_string(scope) + ";5;9;100;CA;01;" + byRun.Path() +
                                                ";;" + path + ";");
            EXPECT_EQ(ImportOpt_run(session.Handle()), 0u);
            ASSERT_EQ(session.Get("IS_CA_ERROR"), "");

            std::string out, err;
            const std::string root = std::string(scope == 1 ? "HKLM\\" : "HKCU\\") + byReg.Path();
            ASSERT_EQ(custopts::Run({"to-reg", path, "--root", root}, out, err), custopts::kExitOk) << err;
            const std::string regFile = folder.File("settings.reg");
            test::WriteFileBytes(regFile, Bytes(out.begin(), out.end()));
            ASSERT_EQ(RegImport(regFile), 0u) << out;
            ::DeleteFileA(regFile.c_str());

            EXPECT_EQ(test::Snapshot(profilesRoot, byReg.Path("Profiles")), test::Snapshot(profilesRoot, byRun.Path("Profiles")));
            EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, byReg.Path("OptionVersion")),
                      test::Snapshot(HKEY_CURRENT_USER, byRun.Path("OptionVersion")));
        }
    }
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace ca
