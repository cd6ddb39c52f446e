// The Word template actions over real profiles of the test prefix: the
// startup folders they find, the files they place and remove, the retries on
// a file in use, and every failure site.
#include "actions/action.h"
#include "actions/word/template_file.h"
#include "accounting.h"
#include "diag/error_info.h"
#include "helper_process.h"
#include "installer_session.h"
#include "profile_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern "C" UINT __stdcall CopyMSWordDot(MSIHANDLE);
extern "C" UINT __stdcall DelMSWordDot(MSIHANDLE);

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace ca {
namespace {

using test::PathExists;
using test::TestProfile;

constexpr char kTemplate[] = "ca-template.dot";
constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kOptions[] = "Software\\Microsoft\\Office\\11.0\\Word\\Options";

// A user's hive: "Shell Folders" with AppData, the Word 11 options with
// STARTUP-PATH; each left out when absent.
test::HiveContent WordUser(std::optional<std::string> appData, std::optional<std::string> startupPath = {},
                           bool shellFolders = true) {
    return [=](HKEY root) {
        if (shellFolders) test::CreateRegKey(root, kShellFolders);
        if (appData) test::SetRegValue(root, kShellFolders, "AppData", *appData);
        if (startupPath) test::SetRegValue(root, kOptions, "STARTUP-PATH", *startupPath, REG_EXPAND_SZ);
    };
}

std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool IsReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

int ProfileListSize() {
    HKEY list = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, test::kNtProfileList, 0, KEY_READ, &list);
    DWORD count = 0;
    RegQueryInfoKeyA(list, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(list);
    return static_cast<int>(count);
}

ErrorData ModuleRecord() {
    ErrorData data;
    ModuleErrorInfo().CopyErrTo(data);
    return data;
}

// Calls of the seam, for the rows that count or fail them.
std::vector<std::string> g_calls;
std::function<DWORD(const std::string&)> g_failure;  // the error a call on a path gets, 0: real call

BOOL WINAPI CountingSleepless(DWORD ms) {
    g_calls.push_back("Sleep " + std::to_string(ms));
    return TRUE;
}
void WINAPI Sleepless(DWORD ms) { CountingSleepless(ms); }

class WordTemplateTest : public ::testing::Test {
protected:
    WordTemplateTest() {
        SetCurVer("Word.Application.11");
        // The user running the test is one of the users; its folders are
        // put back as they were.
        char value[MAX_PATH] = {};
        DWORD size = sizeof value;
        RegGetValueA(HKEY_CURRENT_USER, kShellFolders, "AppData", RRF_RT_REG_SZ, nullptr, value, &size);
        for (const char* part : {"\\Microsoft", "\\Microsoft\\Word", "\\Microsoft\\Word\\STARTUP"}) {
            const std::string folder = value + std::string(part);
            if (!PathExists(folder)) ownFolders.insert(ownFolders.begin(), folder);
        }
        ownTemplate = std::string(value) + "\\Microsoft\\Word\\STARTUP\\" + kTemplate;
        g_calls.clear();
        g_failure = nullptr;
    }
    ~WordTemplateTest() override {
        SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(ownTemplate.c_str());
        for (const std::string& folder : ownFolders) RemoveDirectoryA(folder.c_str());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application");
        RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application");
    }

    static void SetCurVer(const std::string& value) {
        test::SetRegValue(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", "", value);
    }
    void Copy(const std::string& data) { Run(&CopyMSWordDot, data); }
    void Delete(const std::string& data) { Run(&DelMSWordDot, data); }
    void Run(UINT(__stdcall* action)(MSIHANDLE), const std::string& data, MSIHANDLE install = 0) {
        session.Set("CustomActionData", data);
        test::PropertyWrites writes;
        EXPECT_EQ(action(install ? install : session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty());
    }
    // A template file made for the test; its path.
    static std::string Template(const std::string& folder, const std::string& content, DWORD attributes = 0) {
        test::CreateFolders(folder);
        test::WriteTestFile(folder + "\\" + kTemplate, content, attributes);
        return folder + "\\" + kTemplate;
    }

    test::InstallerLog log;
    test::InstallerSession session;
    test::ProfileFixture profiles;
    const std::string root = test::ProfilesRoot();
    std::vector<std::string> ownFolders;
    std::string ownTemplate;
};

TEST_F(WordTemplateTest, CopiesIntoEveryUsersFoldersAndRemovesAgain) {
    const std::string source = root + "\\source";
    Template(source, "new");
    // Logged on; the custom folder and the default folder and their parents are missing.
    const TestProfile& on = profiles.Add(WordUser(root + "\\on\\AppData", "%TEMP%\\ca-profiles\\on-custom\\deep\\"),
                                         {.loggedOn = true});
    const std::string onCustom = root + "\\on-custom\\deep\\" + kTemplate;
    const std::string onDefault = root + "\\on\\AppData\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    // Not logged on, with an older read-only template.
    profiles.Add(WordUser(root + "\\off\\AppData"));
    const std::string offDefault = Template(root + "\\off\\AppData\\Microsoft\\Word\\STARTUP", "old",
                                            FILE_ATTRIBUTE_READONLY);
    (void)on;

    // What each copy found at its target.
    static std::map<std::string, DWORD> s_before;
    s_before.clear();
    {
        PlatformOverride copy(&Platform::CreateFileA, [](LPCSTR name, DWORD access, DWORD share,
                                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                         DWORD flags, HANDLE model) -> HANDLE {
            if (access & GENERIC_WRITE) s_before[name] = GetFileAttributesA(name);
            return test::Tracked().CreateFileA(name, access, share, security, disposition, flags, model);
        });
        Copy(source + ";" + kTemplate);
    }
    for (const std::string& placed : {onCustom, onDefault, offDefault, ownTemplate}) {
        EXPECT_EQ(Content(placed), "new") << placed;
        EXPECT_TRUE(IsReadOnly(placed)) << placed;
    }
    // The platform here lets a copy overwrite a read-only file; the action
    // must not rely on it.
    EXPECT_EQ(s_before[offDefault] & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(s_before[onDefault], INVALID_FILE_ATTRIBUTES);
    EXPECT_THAT(log.Records(), IsEmpty());

    // A user without a template: only the module-wide record hears of it.
    const std::string noneFolder = root + "\\none\\AppData";
    profiles.Add(WordUser(noneFolder));
    test::CreateFolders(noneFolder);
    Delete(kTemplate);
    for (const std::string& placed : {onCustom, onDefault, offDefault, ownTemplate}) EXPECT_FALSE(PathExists(placed));
    EXPECT_THAT(log.Records(), IsEmpty());
    const ErrorData record = ModuleRecord();
    EXPECT_EQ(record.point, "NJPFBYKHSENRG8N");
    EXPECT_EQ(record.code, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(record.extText, FormatStrgLine(noneFolder + "\\Microsoft\\Word\\STARTUP\\" + kTemplate));
}

TEST_F(WordTemplateTest, TemplateHeldByAnotherProcessIsTriedFourTimesAndKept) {
    profiles.Add(WordUser(root + "\\user\\AppData"), {.loggedOn = true});
    const std::string held = Template(root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", "old");
    Template(root + "\\source", "new");
    auto holder = std::make_unique<test::HelperProcess>(std::vector<std::string>{"file:" + held});
    ASSERT_TRUE(holder->Ready());
    PlatformOverride sleep(&Platform::Sleep, &Sleepless);
    for (bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copy" : "delete");
        log.Remove();
        g_calls.clear();
        if (copy) {
            Copy(root + "\\source;" + kTemplate);
        } else {
            Delete(kTemplate);
        }
        EXPECT_THAT(log.Records(), ElementsAre("Code: 32 Point: MRPL3R7MGZ6TYNF ", "GWLXWPMD6G28HLV:MRPL3R7MGZ6TYNF"));
        EXPECT_THAT(g_calls, ElementsAre("Sleep 100", "Sleep 100", "Sleep 100"));
        EXPECT_TRUE(PathExists(held));
    }
    holder.reset();
    EXPECT_EQ(Content(held), "old");
}

TEST_F(WordTemplateTest, OnlyAFileInUseIsRetried) {
    profiles.Add(WordUser(root + "\\user\\AppData", root + "\\custom"), {.loggedOn = true});
    const std::string custom = Template(root + "\\custom", "old");
    const std::string fallback = Template(root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", "old");
    static std::string s_custom;
    s_custom = custom;
    static DWORD s_error;
    PlatformOverride sleep(&Platform::Sleep, &Sleepless);
    // The deletion opens the file for it first; that open answers the error.
    PlatformOverride deletion(&Platform::CreateFileA, [](LPCSTR name, DWORD access, DWORD share,
                                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                         DWORD flags, HANDLE model) -> HANDLE {
        if (s_custom != name || !(access & DELETE))
            return test::Tracked().CreateFileA(name, access, share, security, disposition, flags, model);
        g_calls.push_back("delete");
        SetLastError(s_error);
        return INVALID_HANDLE_VALUE;
    });
    const struct {
        DWORD error;
        int attempts;
        std::vector<std::string> records;
    } cases[] = {
        {ERROR_USER_MAPPED_FILE, 4, {"Code: 1224 Point: MRPL3R7MGZ6TYNF ", "3TRYKDP7SELAWPL:MRPL3R7MGZ6TYNF"}},
        {ERROR_SHARING_VIOLATION, 4, {"Code: 32 Point: MRPL3R7MGZ6TYNF ", "3TRYKDP7SELAWPL:MRPL3R7MGZ6TYNF"}},
        {ERROR_ACCESS_DENIED, 1, {}},
        {ERROR_FILE_NOT_FOUND, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        log.Remove();
        g_calls.clear();
        s_error = c.error;
        Template(root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", "old");
        Delete(kTemplate);
        EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "delete"), c.attempts);
        EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "Sleep 100"), c.attempts - 1);
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        EXPECT_FALSE(PathExists(fallback));  // the default folder is still processed
    }
}

TEST_F(WordTemplateTest, MissingPiecesAreReportedPerUserOrPassedOverQuietly) {
    // Paths built from an empty folder would lie in the current drive's root.
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof current, current);
    SetCurrentDirectoryA(root.substr(0, 3).c_str());
    const std::string drive = root.substr(0, 2);
    const std::string rootVictim = drive + "\\" + kTemplate;
    const std::string defaultVictim = Template(drive + "\\Microsoft\\Word\\STARTUP", "victim");
    test::WriteTestFile(rootVictim, "victim");

    const std::string custom = Template(root + "\\custom", "old");
    profiles.Add(WordUser({}, root + "\\custom", false), {.loggedOn = true});  // no "Shell Folders"
    profiles.Add(WordUser({}));                                                 // no AppData value
    const std::string fallback = Template(root + "\\c\\Microsoft\\Word\\STARTUP", "old");
    profiles.Add(WordUser(root + "\\c"));                                       // no options key
    profiles.Add(WordUser("", ""), {.loggedOn = true});                         // both empty
    profiles.Add(WordUser("Microsoft", "Microsoft\\Word\\STARTUP"));            // both relative
    const std::string relativeVictim = Template(drive + "\\Microsoft\\Microsoft\\Word\\STARTUP", "victim");

    Delete(kTemplate);
    EXPECT_FALSE(PathExists(custom));
    EXPECT_FALSE(PathExists(fallback));
    EXPECT_TRUE(PathExists(rootVictim));
    EXPECT_TRUE(PathExists(defaultVictim));
    EXPECT_TRUE(PathExists(relativeVictim));
    EXPECT_THAT(log.Records(), ElementsAre("Code: 2 Point: LWZFKBZRL87J47A ", "Code: 2 Point: 5YAAWSE7JPWWMMH ",
                                           "Code: 13 Point: LH2VPM55L4S3QMQ (Microsoft\\Word\\STARTUP)",
                                           "3TRYKDP7SELAWPL:LH2VPM55L4S3QMQ",
                                           "Code: 13 Point: LH2VPM55L4S3QMQ (Microsoft\\Microsoft\\Word\\STARTUP)",
                                           "GWLXWPMD6G28HLV:LH2VPM55L4S3QMQ"));

    // Without a registered Word, or with a broken registration, no user gets further.
    Template(root + "\\custom", "old");
    const std::vector<std::string> unregistered(ProfileListSize(), "Code: 13 Point: HUVYG7YBJHBEVV3 ");
    std::vector<std::string> broken;
    for (int i = 0; i < ProfileListSize(); ++i) {
        broken.push_back("Code: 13 Point: W36MAN6789A8WMG (Word)");
        broken.push_back("BTGKEYPPB757Z76:W36MAN6789A8WMG");
    }
    for (const auto& [curVer, records] : {std::pair{std::string(), unregistered}, std::pair{std::string("Word"), broken}}) {
        SCOPED_TRACE(curVer);
        log.Remove();
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application");
        if (!curVer.empty()) SetCurVer(curVer);
        Delete(kTemplate);
        EXPECT_THAT(log.Records(), ElementsAreArray(records));
        EXPECT_TRUE(PathExists(custom));
    }

    SetCurrentDirectoryA(current);
    test::RemoveFolderTree(drive + "\\Microsoft");
    DeleteFileA(rootVictim.c_str());
}

// Through a link a user plants in the way, neither action creates, writes,
// marks or deletes anything behind it; nor is a file with a second name
// elsewhere overwritten or deleted.
TEST_F(WordTemplateTest, NothingBehindALinkOrASecondNameIsTouched) {
    const std::string behind = root + "\\behind";
    const std::string victim = Template(behind, "victim", FILE_ATTRIBUTE_READONLY);
    test::CreateFolders(root + "\\w");
    ASSERT_TRUE(test::CreateFolderLink(root + "\\custom", behind));            // the custom folder
    ASSERT_TRUE(test::CreateFolderLink(root + "\\w\\Microsoft", behind));    // above the default one
    profiles.Add(WordUser(root + "\\w", root + "\\custom"), {.loggedOn = true});
    // A startup folder of its own whose template is a second name of a file elsewhere.
    const std::string other = Template(root + "\\elsewhere", "other");
    test::CreateFolders(root + "\\h\\Microsoft\\Word\\STARTUP");
    const std::string second = root + "\\h\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    ASSERT_TRUE(CreateHardLinkA(second.c_str(), other.c_str(), nullptr));
    profiles.Add(WordUser(root + "\\h"));
    Template(root + "\\source", "new");

    const std::string custom = "Code: 681 Point: HU7LPKPMX6M5NTQ (" + root + "\\custom)(" + behind + ")";
    const std::string above = "Code: 681 Point: HU7LPKPMX6M5NTQ (" + root + "\\w\\Microsoft)(" + behind + ")";
    Copy(root + "\\source;" + kTemplate);
    EXPECT_THAT(log.Records(), ElementsAre(custom, "3TRYKDP7SELAWPL:HU7LPKPMX6M5NTQ", above,
                                           "BDRIWZKRSRBJFHT:HU7LPKPMX6M5NTQ",
                                           "GWLXWPMD6G28HLV:BDRIWZKRSRBJFHT:HU7LPKPMX6M5NTQ"));
    EXPECT_FALSE(PathExists(behind + "\\Word"));
    log.Remove();
    Delete(kTemplate);
    EXPECT_THAT(log.Records(), ElementsAre(custom, "3TRYKDP7SELAWPL:HU7LPKPMX6M5NTQ"));  // the default one is missing
    EXPECT_TRUE(Content(victim) == "victim" && IsReadOnly(victim));
    EXPECT_TRUE(Content(other) == "other" && !IsReadOnly(other) && PathExists(second));
    test::RemoveFolderTree(root + "\\custom");
    test::RemoveFolderTree(root + "\\w\\Microsoft");
}

// A startup folder swapped for a link between the look at the folder and the
// copy: the template is opened, proven in place and written through one
// handle, so the file the open made behind the link is taken back at once.
TEST_F(WordTemplateTest, FolderSwappedForALinkAfterTheLookGetsNothingBehindIt) {
    static std::string s_startup, s_behind;
    s_startup = root + "\\custom", s_behind = root + "\\behind";
    test::CreateFolders(s_behind);
    profiles.Add(WordUser({}, s_startup, false), {.loggedOn = true});
    Template(root + "\\source", "new");
    PlatformOverride swap(&Platform::CreateFileA, [](LPCSTR name, DWORD access, DWORD share,
                                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                                     HANDLE model) -> HANDLE {
        if (std::string(name).rfind(s_startup + "\\", 0) == 0 && !test::IsFolderLink(s_startup)) {
            MoveFileA(s_startup.c_str(), (s_startup + "-moved").c_str());
            EXPECT_TRUE(test::CreateFolderLink(s_startup, s_behind));
        }
        return test::Tracked().CreateFileA(name, access, share, security, disposition, flags, model);
    });
    Copy(root + "\\source;" + kTemplate);
    EXPECT_FALSE(PathExists(s_behind + "\\" + kTemplate));
    EXPECT_THAT(log.Records(), ElementsAre("Code: 2 Point: LWZFKBZRL87J47A "));  // no default folder
    test::RemoveFolderTree(s_startup);
}

TEST_F(WordTemplateTest, EveryActionAndWalkFailureSite) {
    const TestProfile& user = profiles.Add(WordUser(root + "\\user\\AppData"));
    const std::string startup = root + "\\user\\AppData\\Microsoft\\Word\\STARTUP";
    static std::string s_userKey;
    s_userKey = user.keyName;
    static std::string s_root;
    s_root = root;
    Template(root + "\\source", "new");
    const std::string copyData = root + "\\source;" + kTemplate;
    using Seam = std::function<void(const std::function<void()>&)>;
    const Seam none = [](const auto& run) { run(); };
    std::vector<std::string> attempts;
    for (int i = 0; i < 5; ++i) {
        attempts.push_back("create " + root + "\\user");
        attempts.push_back("Sleep 100");
    }
    const auto copy = &CopyMSWordDot;
    const auto del = &DelMSWordDot;

    const struct {
        const char* name;
        UINT(__stdcall* action)(MSIHANDLE);
        std::string data;
        MSIHANDLE install;
        Seam seam;
        std::vector<std::string> records;
        std::vector<std::string> calls = {};  // checked when given
    } cases[] = {
        {"copy without a separator", copy, "C:\\source", 0, none, {"Code: 13 Point: IIBWX626YLU8GZ3 "}},
        {"copy without a source folder", copy, ";name;x", 0, none, {"Code: 13 Point: JYV46EXXPKPHBT2 "}},
        {"copy without a file name", copy, "C:\\source;", 0, none, {"Code: 13 Point: 2XS6TZAEJ6UPS9D "}},
        {"delete without a file name", del, "", 0, none, {"Code: 13 Point: ZN7IEKYJ7GTL5C2 "}},
        {"copy input unreadable", copy, copyData, 0xBAD, none,
         {"Code: 6 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "Z8GBKV74EY5NJSZ:A4LRP85LV7J52YM"}},
        {"delete input unreadable", del, kTemplate, 0xBAD, none,
         {"Code: 6 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "LZKA7ZJ8TRB5R6G:A4LRP85LV7J52YM"}},
        {"copy: exception", copy, copyData, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::MsiGetPropertyA,
                                [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(8); });
             run();
         },
         {"Code: 8 Point: KRV7UJTAPC4JKLL "}},
        {"delete: exception", del, kTemplate, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::MsiGetPropertyA,
                                [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(8); });
             run();
         },
         {"Code: 8 Point: NRAC8GXP75XSS6O "}},
        {"copy: the walk fails", copy, copyData, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::GetVersionExA, [](LPOSVERSIONINFOA) -> BOOL {
                 SetLastError(ERROR_OLD_WIN_VERSION);
                 return FALSE;
             });
             run();
         },
         {"Code: 1150 Point: FX3DY62ICHNGM52 ", "JZV8RT3PY3NKZNI:FX3DY62ICHNGM52"}},
        {"delete: exception in the walk", del, kTemplate, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::RegEnumKeyExA,
                                [](HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME) -> LSTATUS {
                                    test::ThrowForeign(8);
                                });
             run();
         },
         {"Code: 8 Point: UR7UDVL6SM8FMSG ", "2IK8HULBS9TL5FH:UR7UDVL6SM8FMSG"}},
        {"delete: the privilege stays on", del, kTemplate, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::AdjustTokenPrivileges,
                                [](HANDLE token, BOOL all, PTOKEN_PRIVILEGES state, DWORD length,
                                   PTOKEN_PRIVILEGES previous, PDWORD returned) -> BOOL {
                                    const BOOL ok = test::Tracked().AdjustTokenPrivileges(token, all, state, length,
                                                                                          previous, returned);
                                    if (state->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) return ok;
                                    SetLastError(ERROR_ACCESS_DENIED);
                                    return FALSE;
                                });
             run();
         },
         {"Code: 5 Point: 5RKQ50FAIAZAROR ", "3IXPD80WWC6DUCF:5RKQ50FAIAZAROR"}},  // and no action point
        {"delete: exception for one user", del, kTemplate, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::RegOpenKeyExA, [](HKEY root, LPCSTR name, DWORD options, REGSAM access,
                                                             PHKEY key) -> LSTATUS {
                 if (strstr(name, s_userKey.c_str()) && strstr(name, "Shell Folders")) test::ThrowForeign(8);
                 return test::Tracked().RegOpenKeyExA(root, name, options, access, key);
             });
             run();
         },
         {"Code: 8 Point: JAFG4838K0OS3V9 "}},
        {"copy: exception in the template operation", copy, copyData, 0,
         [](const auto& run) {
             PlatformOverride o(&Platform::CreateFileA, [](LPCSTR name, DWORD access, DWORD share,
                                                           LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                           DWORD flags, HANDLE model) -> HANDLE {
                 if (strstr(name, s_root.c_str()) && (access & GENERIC_WRITE)) test::ThrowForeign(8);
                 return test::Tracked().CreateFileA(name, access, share, security, disposition, flags, model);
             });
             run();
         },
         {"Code: 8 Point: DWPKNW8NJS4K9BJ ", "GWLXWPMD6G28HLV:DWPKNW8NJS4K9BJ"}},
        {"copy: the folders cannot be created", copy, copyData, 0,
         [](const auto& run) {
             PlatformOverride sleep(&Platform::Sleep, &Sleepless);
             PlatformOverride o(&Platform::CreateDirectoryA, [](LPCSTR path, LPSECURITY_ATTRIBUTES security) -> BOOL {
                 if (!strstr(path, s_root.c_str())) return CreateDirectoryA(path, security);
                 g_calls.push_back(std::string("create ") + path);
                 SetLastError(ERROR_ACCESS_DENIED);
                 return FALSE;
             });
             run();
         },
         {"Code: 5 Point: MI6VFAPVGZZPWT7 (" + startup + ")(" + root + "\\user)(5)",
          "BDRIWZKRSRBJFHT:MI6VFAPVGZZPWT7", "GWLXWPMD6G28HLV:BDRIWZKRSRBJFHT:MI6VFAPVGZZPWT7"},
         attempts},  // five at the first missing folder, 100 ms apart
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Remove();
        g_calls.clear();
        test::RemoveFolderTree(root + "\\user");
        c.seam([&] { Run(c.action, c.data, c.install); });
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        if (!c.calls.empty()) {
            EXPECT_EQ(g_calls, c.calls);
        }
    }
}

TEST_F(WordTemplateTest, FolderPathAndReadOnlyRoutines) {
    static std::vector<std::string> s_created;
    s_created.clear();
    {
        PlatformOverride create(&Platform::CreateDirectoryA, [](LPCSTR path, LPSECURITY_ATTRIBUTES security) -> BOOL {
            s_created.push_back(path);
            return CreateDirectoryA(path, security);
        });
        ActionError error;
        test::CreateFolders(root);
        EXPECT_TRUE(CreateFolderPath(root + "\\x\\y\\z\\", error));  // the trailing separator is dropped
        EXPECT_TRUE(CreateFolderPath(root + "\\x\\y", error));       // exists: no call
        EXPECT_TRUE(CreateFolderPath("relative", error));            // no separator: nothing to create
        // A share that cannot be reached costs one look, no attempt, no climb above it.
        EXPECT_FALSE(CreateFolderPath("\\\\ca-no-server\\share\\a\\b", error));
        EXPECT_EQ(error.Point(), "MI6VFAPVGZZPWT7");
        EXPECT_EQ(error.Extra(), "(\\\\ca-no-server\\share\\a\\b)(\\\\ca-no-server\\share)(2)");
        EXPECT_EQ(log.Records().size(), 1u);
        log.Remove();
    }
    EXPECT_THAT(s_created, ElementsAre(root + "\\x", root + "\\x\\y", root + "\\x\\y\\z"));

    const std::string file = Template(root, "x");
    static int s_sets;
    s_sets = 0;
    PlatformOverride set(&Platform::SetFileAttributesA, [](LPCSTR, DWORD) -> BOOL {
        ++s_sets;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    });
    EXPECT_TRUE(SetReadOnlyAttribute(file, false));  // already so: no call
    EXPECT_EQ(s_sets, 0);
    EXPECT_FALSE(SetReadOnlyAttribute(file, true));
    const DWORD wanted = GetFileAttributesA(file.c_str()) | FILE_ATTRIBUTE_READONLY;
    const ErrorData record = ModuleRecord();
    EXPECT_EQ(record.point, "HLXF2IRGLR2WMSP");
    EXPECT_EQ(record.code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(record.extText, FormatStrgLine(file) + FormatHexDump(&wanted, sizeof wanted));
    EXPECT_THAT(log.Records(), IsEmpty());
}

}  // namespace
}  // namespace ca
