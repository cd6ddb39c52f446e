// The options store with real files and the registry of the prefix: every
// failure site with its point chain, code, text and extended text, and what
// a successful import leaves.
#include "installer_session.h"
#include "options/options_store.h"
#include "options/registry_subtree.h"
#include "options/tests/import_test_support.h"
#include "runtime/action_error.h"
#include "runtime/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace ca {
namespace {

using test::Bytes;
using test::RegTree;
using test::RegValue;

void Put32(Bytes& file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Seams for what a real file will not do on demand.
int g_readLimit = -1;  // bytes ReadFile still delivers; -1: all
DWORD g_readError = 0;
HANDLE g_failClose = nullptr;

BOOL WINAPI SeamRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
    if (g_readError) {
        ::SetLastError(g_readError);
        return FALSE;
    }
    if (g_readLimit >= 0) count = std::min<DWORD>(count, static_cast<DWORD>(g_readLimit));
    const BOOL ok = test::Tracked().ReadFile(file, buffer, count, got, overlapped);
    if (g_readLimit >= 0) g_readLimit -= static_cast<int>(*got);
    return ok;
}

BOOL WINAPI SeamClose(HANDLE handle) {
    test::Tracked().CloseHandle(handle);
    if (handle != g_failClose) return TRUE;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE WINAPI RememberFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE templateFile) {
    g_failClose = test::Tracked().CreateFileA(name, access, share, security, disposition, flags, templateFile);
    return g_failClose;
}

class OptionsStoreTest : public ::testing::Test {
protected:
    OptionsStoreTest() {
        g_readLimit = -1;
        g_readError = 0;
        g_failClose = nullptr;
    }
    std::string WriteFile(const Bytes& bytes, const char* name = "settings.opts") {
        const std::string path = folder.File(name);
        test::WriteFileBytes(path, bytes);
        return path;
    }
    ErrorData Record() const {
        ErrorData data;
        info.CopyErrTo(data);
        return data;
    }
    std::string Profiles() const { return key.Path("Profiles"); }
    std::string Versions() const { return key.Path("OptionVersion"); }
    // The lines every failed import ends its extended text with.
    static std::string Tail(const std::string& path, const Bytes& header) {
        const uint8_t zero = 0;
        return FormatStrgLine(path) + FormatHexDump(&zero, 1) + FormatHexDump(header.data(), 48);
    }
    static Bytes HeaderOf(const Bytes& file) {
        Bytes header(48, 0);
        std::copy(file.begin(), file.begin() + std::min<size_t>(file.size(), 48), header.begin());
        return header;
    }
    static std::string Unreadable(const std::string& path) {
        return FormatResourceMessage(60163, path.c_str()) + "\r\n\r\n" + FormatResourceMessage(60162);
    }

    test::InstallerLog log;
    test::ScratchFolder folder;
    test::ScratchKey key;
    ErrorInfo info;
};

struct SiteCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* point;
    int32_t code;
    int text;  // a string-table number, 1 for the system message of the code, 0 for the unreadable-file pair
    int readLimit = -1;
};

TEST_F(OptionsStoreTest, FailureSitesOfTheFileChecks) {
    const SiteCase cases[] = {
        {"47 bytes", [](Bytes& f) { f.resize(47); }, "VGUU4ZTD9E6LHKP", 0, 0},
        {"magic", [](Bytes& f) { f[0] = 'q'; }, "A2VRFUVG7WN5VVR", 0, 0},
        {"not an options file", [](Bytes& f) { f[4] = 'X'; }, "F5DB4GPCUPESNFC", 0, 60514},
        {"another program", [](Bytes& f) { f[8] = 'X'; }, "BJMA7JIZXFKUGV8", 0, 60515},
        {"another edition", [](Bytes& f) { f[11] = 'X'; }, "MEE5BA38XSPVUAK", 0, 60515},
        {"format version 2", [](Bytes& f) { Put32(f, 12, 2); }, "KNLNEYM26HT9D49", 0, 60164},
        {"options 5.10", [](Bytes& f) { Put32(f, 24, 10); }, "EDUV295DHVV4BHY", 0, 60513},
        {"entry count whose table size wraps", [](Bytes& f) { Put32(f, 40, 0x15555556u); }, "AYGP538A46S2IVS", 0, 0},
        {"data offset", [](Bytes& f) { Put32(f, 56, 100); }, "NGM2RJJNIWIVPWS", 0, 0},
        {"truncated", [](Bytes& f) { f.resize(f.size() - 5); }, "DGH5GAWDEFH5DV7", 0, 0},
        {"corrupt pack", [](Bytes& f) { f[60 + 11] = 4; }, "L9BSTTZC99LWAUI", -2, 9},
        {"header read short", nullptr, "FRCDCSWX4B7DREI", 9, 1, 47},
        {"table read short", nullptr, "U2GRG68Z6T4ZINF", 9, 1, 50},
        {"data read short", nullptr, "IR2UT7MZ99E34NC", 9, 1, 70},
    };
    PlatformOverride read(&Platform::ReadFile, &SeamRead);
    for (const SiteCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = test::SampleFile();
        if (c.damage) c.damage(file);
        const std::string path = WriteFile(file);
        g_readLimit = c.readLimit;
        OptionsStore store(&info, 0, 5, 9, 100, key.Path(), test::kSignature);
        std::unique_ptr<Pack> pack;
        EXPECT_FALSE(store.ImportOptionsFile(path, &pack));
        EXPECT_EQ(pack, nullptr);
        const ErrorData record = Record();
        EXPECT_EQ(record.point, c.point);
        EXPECT_EQ(record.code, c.code);
        const std::string text = c.text == 0   ? Unreadable(path)
                                 : c.text == 1 ? OsErrorText(c.code)
                                 : c.text == 9 ? OsErrorText(9)
                                               : FormatResourceMessage(c.text);
        EXPECT_EQ(record.text, text);
        Bytes header = file.size() < 48 ? Bytes(48, 0) : HeaderOf(file);  // as far as it was read
        if (c.readLimit >= 0 && c.readLimit < 48) std::fill(header.begin() + c.readLimit, header.end(), 0);
        EXPECT_THAT(record.extText, ::testing::EndsWith(Tail(path, header)));
    }
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path()), (RegTree{{"<absent>", {}}}));
}

TEST_F(OptionsStoreTest, FailureSitesOfTheFileLayer) {
    const std::string sound = WriteFile(test::SampleFile());
    const std::string missing = folder.File("no such folder\\settings.opts");
    auto check = [&](const std::string& path, const char* point, DWORD code, bool headerUnread) {
        OptionsStore store(&info, 0, 5, 9, 100, key.Path(), test::kSignature);
        EXPECT_FALSE(store.ImportOptionsFile(path, nullptr));
        const ErrorData record = Record();
        EXPECT_EQ(record.point, point);
        EXPECT_EQ(record.code, static_cast<int32_t>(code));
        EXPECT_EQ(record.text, OsErrorText(static_cast<int32_t>(code)));
        EXPECT_THAT(record.extText, ::testing::StartsWith("FE:cause="));
        EXPECT_THAT(record.extText, ::testing::HasSubstr(StringPrintf("FE:error=%d [%s]\r\nFE:file=[%s]\r\n",
                                                                      static_cast<int>(code),
                                                                      OsErrorText(code).c_str(), path.c_str())));
        EXPECT_THAT(record.extText, ::testing::EndsWith(Tail(path, headerUnread ? Bytes(48, 0) : HeaderOf(test::SampleFile()))));
    };
    check(missing, "D9Z2M53NXGIXHT8", ERROR_PATH_NOT_FOUND, true);
    {
        HANDLE holder = ::CreateFileA(sound.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        check(sound, "D9Z2M53NXGIXHT8", ERROR_SHARING_VIOLATION, true);
        ::CloseHandle(holder);
    }
    {
        PlatformOverride read(&Platform::ReadFile, &SeamRead);
        g_readError = ERROR_CRC;
        check(sound, "9WPCNCVEXGUAT9C", ERROR_CRC, true);
        g_readError = 0;
    }
    {
        PlatformOverride create(&Platform::CreateFileA, &RememberFile);
        PlatformOverride close(&Platform::CloseHandle, &SeamClose);
        check(sound, "BJKMKWY8SPJJDV2", ERROR_INVALID_HANDLE, false);
    }
    // The file is closed before anything is written: a failed close leaves
    // the settings untouched and writes no version record.
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Profiles()), (RegTree{{"<absent>", {}}}));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Versions()), (RegTree{{"<absent>", {}}}));
}

TEST_F(OptionsStoreTest, FailedSaveOfTheProfiles) {
    // A pack item holding two packs has no registry form.
    const Pack one = test::SampleSettings();
    const Pack* two[] = {&one, &one};
    Pack settings;
    settings.Add(std::make_unique<PackItem>("Pair", two, 2));
    const std::string invalid = WriteFile(BuildOptionsFile({test::kSignature, 1, 5, 9, 1}, &settings), "pair.opts");
    test::SetValue(HKEY_CURRENT_USER, Profiles(), "Before", REG_DWORD, {7, 0, 0, 0});
    const RegTree before = test::Snapshot(HKEY_CURRENT_USER, Profiles());
    OptionsStore store(&info, 0, 5, 9, 100, key.Path(), test::kSignature);
    std::unique_ptr<Pack> checked;
    EXPECT_TRUE(store.ImportOptionsFile(invalid, &checked));  // the check does not ask the registry
    EXPECT_FALSE(store.ImportOptionsFile(invalid, nullptr));
    ErrorData record = Record();
    EXPECT_EQ(record.point, "X9XEP84UYVP6B2T");
    EXPECT_EQ(record.code, ERROR_INVALID_DATA);
    EXPECT_EQ(record.text, OsErrorText(ERROR_INVALID_DATA));
    const Bytes header = HeaderOf(BuildOptionsFile({test::kSignature, 1, 5, 9, 1}, &settings));
    EXPECT_EQ(record.extText, FormatStrgLine(Profiles()) + "HKEY: HKCU\r\n" + Tail(invalid, header));

    // A key the process may not write.
    test::SetKeyDacl(HKEY_CURRENT_USER, Profiles(), "D:P(A;;KR;;;WD)");
    const std::string sound = WriteFile(test::SampleFile());
    OptionsStore denied(&info, 0, 5, 9, 100, key.Path(), test::kSignature);
    EXPECT_FALSE(denied.ImportOptionsFile(sound, nullptr));
    record = Record();
    EXPECT_EQ(record.point, "X9XEP84UYVP6B2T");
    EXPECT_EQ(record.code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Profiles()), before);
    test::SetKeyDacl(HKEY_CURRENT_USER, Profiles(), "D:P(A;;KA;;;WD)");
}

TEST_F(OptionsStoreTest, RunImportsTheProfilesAndTheVersionRecord) {
    test::SetValue(HKEY_CURRENT_USER, Profiles() + "\\Stale", "x", REG_DWORD, {1, 0, 0, 0});
    const std::string path = WriteFile(test::SampleFile(5, 9, 0x12345));
    OptionsStore store(nullptr, 0, 5, 9, 100, key.Path(), test::kSignature);  // keeps a record of its own
    ASSERT_TRUE(store.ImportOptionsFile(path, nullptr)) << store.Errors().FormatErrDump();
    EXPECT_FALSE(store.Errors().HasErr());
    ASSERT_EQ(RegistrySubtree(HKEY_CURRENT_USER, key.Path("Expected")).Save(test::SampleSettings()), 0);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Profiles()), test::Snapshot(HKEY_CURRENT_USER, key.Path("Expected")));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Versions()),
              (RegTree{{"|MAJORVER", {REG_DWORD, {5, 0, 0, 0}}},
                       {"|MINORVER", {REG_DWORD, {9, 0, 0, 0}}},
                       {"|NUMBBUILD", {REG_DWORD, {0x45, 0x23, 0, 0}}}}));

    // Scope 1: the profiles of the machine; the version record stays the user's.
    OptionsStore machine(&info, 1, 5, 9, 100, key.Path(), test::kSignature);
    ASSERT_TRUE(machine.ImportOptionsFile(path, nullptr));
    EXPECT_EQ(test::Snapshot(HKEY_LOCAL_MACHINE, Profiles()), test::Snapshot(HKEY_CURRENT_USER, Profiles()));
    EXPECT_EQ(test::Snapshot(HKEY_LOCAL_MACHINE, Versions()), (RegTree{{"<absent>", {}}}));
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

TEST_F(OptionsStoreTest, FilesWithoutSettingsAndTheCheck) {
    const RegTree absent = {{"<absent>", {}}};
    OptionsStore store(&info, 0, 5, 9, 100, key.Path(), test::kSignature);

    // Check mode hands the settings over and writes nothing.
    std::unique_ptr<Pack> pack;
    ASSERT_TRUE(store.ImportOptionsFile(WriteFile(test::SampleFile()), &pack));
    ASSERT_NE(pack, nullptr);
    EXPECT_TRUE(PacksEqual(*pack, test::SampleSettings(), 1));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path()), absent);

    // No table entries: the profiles stay, the version record is written; a
    // version of 0 creates the key alone.
    test::SetValue(HKEY_CURRENT_USER, Profiles(), "Kept", REG_DWORD, {1, 0, 0, 0});
    const RegTree kept = test::Snapshot(HKEY_CURRENT_USER, Profiles());
    ASSERT_TRUE(store.ImportOptionsFile(WriteFile(BuildOptionsFile({test::kSignature, 0, 0, 0, 0}, nullptr)), nullptr));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Profiles()), kept);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Versions()), RegTree{});

    // Entry 0 without data: an empty pack, an empty profiles key.
    Bytes file = test::SampleFile();
    Put32(file, 52, 0);
    ASSERT_TRUE(store.ImportOptionsFile(WriteFile(file), &pack));
    EXPECT_EQ(pack->Count(), 0);
    ASSERT_TRUE(store.ImportOptionsFile(WriteFile(file), nullptr));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Profiles()), RegTree{});
}

TEST_F(OptionsStoreTest, FailureSitesOfTheVersionRecord) {
    const std::string path = WriteFile(test::SampleFile());
    const std::string access = FormatHexDump("\x06\x00\x02\x00", 4);  // KEY_WRITE
    const struct {
        int failingSet;  // -1: the key cannot be created
        const char* point;
        const char* name;
        uint32_t value;
    } cases[] = {
        {-1, "XRFGIE68L48P6G3:3N66F2F8FILRKWX", nullptr, 0},
        {0, "EDBJ46FN35W769C:I7FJYNBR2YAF395", "MajorVer", 5},
        {1, "3FXZNLBAPTPYZ5G:I7FJYNBR2YAF395", "MinorVer", 9},
        {2, "GZYWZGDDNB8GCFH:I7FJYNBR2YAF395", "NumbBuild", 1234},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.point);
        log.Remove();
        ErrorInfo own;
        OptionsStore store(&own, 0, 5, 9, 100, key.Path(), test::kSignature);
        LONG code = ERROR_ACCESS_DENIED;
        test::RegistryCalls calls;
        if (c.failingSet < 0) {
            test::SetKeyDacl(HKEY_CURRENT_USER, Versions(), "D:P(A;;KR;;;WD)");
        } else {
            code = ERROR_NOT_ENOUGH_MEMORY;
            // The journal and the profiles take the first sets.
            calls.FailNth<&Platform::RegSetValueExA>(10 + c.failingSet, code);
        }
        // The record goes with the settings: neither is replaced.
        const RegTree before = test::Snapshot(HKEY_CURRENT_USER, key.Path());
        EXPECT_FALSE(store.ImportOptionsFile(path, nullptr));
        EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path()), before);
        ErrorData record;
        own.CopyErrTo(record);
        EXPECT_EQ(record.point, std::string("X9XEP84UYVP6B2T:YRVS91UG34FS4TA:") + c.point);
        EXPECT_EQ(record.code, code);
        EXPECT_EQ(record.text, OsErrorText(code));
        std::string ext;
        if (c.failingSet < 0) {
            ext = "HKEY: HKCU\r\n" + FormatStrgLine(Versions()) + access;
            test::SetKeyDacl(HKEY_CURRENT_USER, Versions(), "D:P(A;;KA;;;WD)");
        } else {
            EXPECT_THAT(record.extText, ::testing::StartsWith("HKEY: 0x"));
            ext = FormatStrgLine(c.name) + FormatHexDump(&c.value, 4) + "HKEY: HKCU\r\n" + FormatStrgLine(Versions());
        }
        EXPECT_THAT(record.extText, ::testing::HasSubstr(ext + FormatStrgLine(key.Path("Profiles"))));
        EXPECT_THAT(log.Records(), ::testing::IsEmpty());
    }

    OptionsKey unopened(&info);
    EXPECT_FALSE(unopened.SetDwordValue("MajorVer", 5));
    const uint32_t five = 5;
    EXPECT_EQ(Record().point, "ZR6NC5Z54KDJVVK");
    EXPECT_EQ(Record().code, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Record().extText, "HKEY: 0x00000000\r\n" + FormatStrgLine("MajorVer") + FormatHexDump(&five, 4) +
                                    "HKEY: 0x00000000\r\nSTRG: []\r\n");
}

}  // namespace
}  // namespace ca
