// DelMultiUserData in a real installer session over real profiles of the
// test prefix: what it removes from each user's hive and AppData folder, what
// it leaves, and the input it refuses before touching anyone.
#include "actions/action.h"
#include "accounting.h"
#include "installer_session.h"
#include "profile_fixture.h"
#include "store/backup_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern "C" UINT __stdcall DelMultiUserData(MSIHANDLE);
extern "C" UINT __stdcall DelMultiUserDataRollback(MSIHANDLE);
extern "C" UINT __stdcall DelMultiUserDataCommit(MSIHANDLE);

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace ca {
namespace {

using test::Accounting;
using test::PathExists;
using test::Resource;
using test::TestProfile;

constexpr char kItems[] = "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;CATestApp;";
constexpr char kVendor[] = "Software\\CATest\\Vendor";
constexpr char kApp[] = "Software\\CATest\\Vendor\\App";
constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

enum class AppData { None, NoValue, Given };

// A user with the application's tree below the vendor key and, unless told
// otherwise, the AppData value given.
test::HiveContent UserHive(const std::string& appData, DWORD type = REG_SZ, bool vendorKeepsValue = false,
                           AppData kind = AppData::Given) {
    return [=](HKEY root) {
        for (const char* key : {"Cache", "Settings\\Recent", "Settings\\Window"})
            test::CreateRegKey(root, std::string(kApp) + "\\" + key);
        if (vendorKeepsValue) test::SetRegValue(root, kVendor, "Keep", "1");
        if (kind == AppData::Given) test::SetRegValue(root, kShellFolders, "AppData", appData, type);
        if (kind == AppData::NoValue) test::SetRegValue(root, kShellFolders, "Cache", "C:\\cache");
    };
}

std::string UserKey(const TestProfile& p, const std::string& path) { return p.keyName + "\\" + path; }

// Files in a folder made for the test; the folder.
std::string Files(const std::string& folder, std::initializer_list<const char*> names) {
    test::CreateFolders(folder);
    for (const char* name : names) test::WriteTestFile(folder + "\\" + name);
    return folder;
}

class DelMultiUserDataTest : public ::testing::Test {
protected:
    void Run(const std::string& data, MSIHANDLE install = 0, UINT(__stdcall* action)(MSIHANDLE) = DelMultiUserData) {
        session.Set("CustomActionData", data);
        test::PropertyWrites writes;
        EXPECT_EQ(action(install ? install : session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty());  // deferred: no property, failed or not
    }

    test::InstallerLog log;
    test::InstallerSession session;
    test::ProfileFixture profiles;
};

TEST_F(DelMultiUserDataTest, RemovesEveryUsersDataAndLeavesWhatIsStillInUse) {
    // Expandable AppData: resolved against the user's own profile folder, not
    // this process's environment.
    const TestProfile& on = profiles.Add(UserHive("%USERPROFILE%\\AppData\\Roaming", REG_EXPAND_SZ), {.loggedOn = true});
    const std::string onFolder = Files(on.folder + "\\AppData\\Roaming\\CATestApp", {"a.log", "keep.txt"});
    // Not logged on, plain AppData: every file goes, and the folder with them.
    const std::string plainAppData = profiles.NextFolder() + "\\plain appdata";
    const TestProfile& off = profiles.Add(UserHive(plainAppData));
    const std::string offFolder = Files(plainAppData + "\\CATestApp", {"x.log", "y.log"});
    // The vendor key keeps a value; a read-only file stays with its folder.
    const std::string keepsAppData = profiles.NextFolder() + "\\keeps";
    const TestProfile& keeps = profiles.Add(UserHive(keepsAppData, REG_SZ, true), {.loggedOn = true});
    const std::string keepsFolder = Files(keepsAppData + "\\CATestApp", {"z.log"});
    test::WriteTestFile(keepsFolder + "\\ro.log", "x", FILE_ATTRIBUTE_READONLY);

    std::map<std::string, std::vector<std::string>> atUnload;  // what a loaded hive held at its unload
    {
        test::BeforeUnload observe([&](const std::string& keyName) {
            atUnload[keyName] = test::RegSubtree(HKEY_USERS, keyName + "\\Software\\CATest");
        });
        Run(kItems);
    }

    EXPECT_THAT(test::RegSubtree(HKEY_USERS, UserKey(on, "Software\\CATest")), IsEmpty());
    EXPECT_TRUE(test::RegKeyExists(HKEY_USERS, UserKey(on, "Software\\CATest")));  // not named: stays
    EXPECT_FALSE(PathExists(onFolder + "\\a.log"));
    EXPECT_TRUE(PathExists(onFolder + "\\keep.txt"));

    EXPECT_EQ(atUnload.count(off.keyName), 1u);
    EXPECT_THAT(atUnload[off.keyName], IsEmpty());
    EXPECT_FALSE(PathExists(offFolder));

    EXPECT_THAT(test::RegSubtree(HKEY_USERS, UserKey(keeps, "Software\\CATest")), ElementsAre("Vendor"));
    EXPECT_FALSE(PathExists(keepsFolder + "\\z.log"));
    EXPECT_TRUE(PathExists(keepsFolder + "\\ro.log"));

    EXPECT_THAT(log.Records(), IsEmpty());
    EXPECT_GT(Accounting::Acquired(Resource::Find), 0);
}

TEST_F(DelMultiUserDataTest, EmptyAppDataSkipsTheFilesAndAnEmptyPatternDeletesNone) {
    // Paths built from an empty AppData would name the current drive's root.
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof current, current);
    SetCurrentDirectoryA(test::ProfilesRoot().substr(0, 3).c_str());
    const std::string drive = test::ProfilesRoot().substr(0, 2);
    const std::string victim = Files(drive + "\\CATestApp", {"victim.log"});
    profiles.Add(UserHive(""), {.loggedOn = true});
    const std::string emptyAppData = profiles.NextFolder() + "\\empty";
    profiles.Add(UserHive(emptyAppData), {.loggedOn = true});
    test::CreateFolders(emptyAppData + "\\CATestApp");
    const std::string fullAppData = profiles.NextFolder() + "\\full";
    profiles.Add(UserHive(fullAppData), {.loggedOn = true});
    const std::string fullFolder = Files(fullAppData + "\\CATestApp", {"f.log"});

    Run(kItems);
    EXPECT_TRUE(PathExists(victim + "\\victim.log"));
    EXPECT_FALSE(PathExists(fullFolder));

    Files(fullFolder, {"f.log"});
    test::CreateFolders(emptyAppData + "\\CATestApp");
    Run("Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;;CATestApp;");
    EXPECT_TRUE(PathExists(fullFolder + "\\f.log"));
    EXPECT_FALSE(PathExists(emptyAppData + "\\CATestApp"));  // already empty: removed

    SetCurrentDirectoryA(current);
    test::RemoveFolderTree(victim);
    EXPECT_THAT(log.Records(), IsEmpty());
}

// Handles and failing calls of the seam rows.
HKEY g_handle;
std::string g_handleText() {
    char text[16];
    std::snprintf(text, sizeof text, "(%X)", static_cast<unsigned>(reinterpret_cast<uintptr_t>(g_handle)));
    return text;
}
TEST_F(DelMultiUserDataTest, RegistryAndAppDataFailuresEndOnlyThatProfile) {
    using Seam = std::function<void(const std::function<void()>&)>;
    const std::string appData = profiles.NextFolder() + "\\appdata";  // each case's one user's
    const Seam none = [](const auto& run) { run(); };
    const struct {
        const char* name;
        test::HiveContent hive;
        const char* lockedKey;  // below the user's root, opened by nobody
        Seam seam;
        // "<T>": the tree key, "<V>": the empty-only key, "<U>": the user's
        // key name, "<H>": the handle of the failing call, "<R>": "(80000003)"
        std::vector<std::string> records;
        std::vector<std::string> treeLeft = {};  // checked when given
    } cases[] = {
        {"a key deep in the tree cannot be opened", UserHive(appData), "\\Settings\\Window", none,
         {"Code: 5 Point: P85NLER5C2CR44I ", "<R>(<T>\\Settings\\Window)", "<R>(<T>\\Settings\\Window)(1)(2)",
          "A8959627VXV3XL7:P85NLER5C2CR44I", "<R>(<T>\\Settings\\Window)(1)(2)<R>(<T>\\Settings)",
          "<R>(<T>\\Settings\\Window)(1)(2)<R>(<T>\\Settings)(1)(2)", "A8959627VXV3XL7:A8959627VXV3XL7:P85NLER5C2CR44I",
          "<R>(<T>\\Settings\\Window)(1)(2)<R>(<T>\\Settings)(1)(2)<R>(<T>)",
          "N2VBF5GVTXCC427:A8959627VXV3XL7:A8959627VXV3XL7:P85NLER5C2CR44I"},
         {"Settings", "Settings\\Window"}},  // what was visited before is removed
        {"tree key cannot be queried", UserHive(appData), nullptr,
         [](const auto& run) {
             PlatformOverride o(&Platform::RegQueryInfoKeyA,
                                [](HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                   LPDWORD, LPDWORD, PFILETIME) -> LSTATUS {
                                    g_handle = key;
                                    return ERROR_ACCESS_DENIED;
                                });
             run();
         },
         {"Code: 5 Point: D6BWHY9XVGYABNN <H>", "<H><R>(<T>)", "N2VBF5GVTXCC427:D6BWHY9XVGYABNN"}},
        {"subkey cannot be enumerated", UserHive(appData), nullptr,
         [](const auto& run) {
             PlatformOverride o(&Platform::RegEnumKeyExA, [](HKEY key, DWORD index, LPSTR name, LPDWORD length,
                                                             LPDWORD, LPSTR, LPDWORD, PFILETIME) -> LSTATUS {
                 if (*length == 260) return RegEnumKeyExA(key, index, name, length, nullptr, nullptr, nullptr, nullptr);
                 g_handle = key;  // the tree's, not the profile list's
                 *length = 99;
                 return ERROR_MORE_DATA;
             });
             run();
         },
         {"Code: 234 Point: NWP9AVF2XNLTV76 <H>(0)(2)(99)", "<H>(0)(2)(99)<R>(<T>)", "N2VBF5GVTXCC427:NWP9AVF2XNLTV76"}},
        {"a key of the tree cannot be deleted", UserHive(appData), nullptr,
         [](const auto& run) {
             PlatformOverride o(&Platform::DeleteOpenKey, [](HKEY) -> LSTATUS { return ERROR_ACCESS_DENIED; });
             run();
         },
         {"Code: 5 Point: ZF2YJ5VUS2INT5P ", "<R>(<T>\\Cache)", "<R>(<T>\\Cache)(0)(2)", "A8959627VXV3XL7:ZF2YJ5VUS2INT5P",
          "<R>(<T>\\Cache)(0)(2)<R>(<T>)", "N2VBF5GVTXCC427:A8959627VXV3XL7:ZF2YJ5VUS2INT5P"},
         {"Cache", "Settings", "Settings\\Recent", "Settings\\Window"}},
        {"empty-only key cannot be opened", UserHive(appData), nullptr,
         [](const auto& run) {
             // The empty-only key, held from the way down to the tree, is
             // opened anew by the empty name for its deletion.
             PlatformOverride o(&Platform::RegOpenKeyExA, [](HKEY root, LPCSTR name, DWORD options, REGSAM access,
                                                             PHKEY key) -> LSTATUS {
                 if (*name == '\0' && (access & DELETE)) return ERROR_ACCESS_DENIED;
                 return test::Tracked().RegOpenKeyExA(root, name, options, access, key);
             });
             run();
         },
         {"Code: 5 Point: 7DWIIBZEE4EZ82J ", "<R>(<V>)", "TKS8ENS99HGUE7S:7DWIIBZEE4EZ82J"}},
        {"empty-only key cannot be queried", UserHive(appData), nullptr,
         [](const auto& run) {
             PlatformOverride o(&Platform::RegQueryInfoKeyA,
                                [](HKEY key, LPSTR c, LPDWORD cl, LPDWORD r, LPDWORD subkeys, LPDWORD longest,
                                   LPDWORD lc, LPDWORD values, LPDWORD vn, LPDWORD vd, LPDWORD sd,
                                   PFILETIME t) -> LSTATUS {
                                    if (values == nullptr)  // the tree's query
                                        return RegQueryInfoKeyA(key, c, cl, r, subkeys, longest, lc, values, vn, vd,
                                                                sd, t);
                                    g_handle = key;
                                    return ERROR_INVALID_HANDLE;
                                });
             run();
         },
         {"Code: 6 Point: XUBWMB35FF5K2JY <H>", "<H><R>(<V>)", "TKS8ENS99HGUE7S:XUBWMB35FF5K2JY"}},
        {"empty-only key cannot be deleted", UserHive(appData), nullptr,
         [](const auto& run) {
             // The handle the empty-only key is opened with, for deletion.
             PlatformOverride open(&Platform::RegOpenKeyExA, [](HKEY root, LPCSTR name, DWORD options,
                                                                REGSAM access, PHKEY key) -> LSTATUS {
                 const LSTATUS opened = test::Tracked().RegOpenKeyExA(root, name, options, access, key);
                 if (opened == ERROR_SUCCESS && *name == '\0' && (access & DELETE)) g_handle = *key;
                 return opened;
             });
             PlatformOverride o(&Platform::DeleteOpenKey, [](HKEY key) -> LSTATUS {
                 if (key == g_handle) return ERROR_ACCESS_DENIED;
                 return DeleteOpenKeyWhereAvailable(key);
             });
             run();
         },
         {"Code: 5 Point: M34RYAWSCIR9W3H ", "<R>(<V>)", "TKS8ENS99HGUE7S:M34RYAWSCIR9W3H"}},
        {"no User Shell Folders", UserHive("", REG_SZ, false, AppData::None), nullptr, none,
         {"Code: 2 Point: KMQD6MZDW09RWJ2 (<U>\\" + std::string(kShellFolders) + ")",
          "MSR5LRX99VL7M8Z:KMQD6MZDW09RWJ2"}},
        {"no AppData value", UserHive("", REG_SZ, false, AppData::NoValue), nullptr, none,
         {"Code: 2 Point: 0LDICMUKL7ICYOT ", "MSR5LRX99VL7M8Z:0LDICMUKL7ICYOT"}},
        // A user's own value names no folder of the user's: nothing relative
        // to the installer's working folder, nor a redirected folder.
        {"relative AppData", UserHive("appdata"), nullptr, none,
         {"Code: 13 Point: 0LDICMUKL7ICYOT (appdata)", "MSR5LRX99VL7M8Z:0LDICMUKL7ICYOT"}},
        {"AppData of another variable", UserHive("%HOMESHARE%\\AppData", REG_EXPAND_SZ), nullptr, none,
         {"Code: 13 Point: 0LDICMUKL7ICYOT (%HOMESHARE%\\AppData)", "MSR5LRX99VL7M8Z:0LDICMUKL7ICYOT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Remove();
        test::ProfileFixture users;
        const TestProfile& user = users.Add(c.hive, {.loggedOn = true});
        // The files of a profile whose AppData is found but whose keys fail.
        const std::string folder = Files(appData + "\\CATestApp", {"a.log"});
        if (c.lockedKey) {
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, (UserKey(user, kApp) + c.lockedKey).c_str(), 0, WRITE_DAC, &key), 0);
            ACL empty;
            InitializeAcl(&empty, sizeof empty, ACL_REVISION);
            SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr);
            RegCloseKey(key);
        }
        g_handle = nullptr;
        c.seam([&] { Run(kItems); });

        std::vector<std::string> expected;
        for (std::string r : c.records) {
            for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
                     {"<T>", UserKey(user, kApp)}, {"<V>", UserKey(user, kVendor)}, {"<U>", user.keyName},
                     {"<H>", g_handleText()}, {"<R>", "(80000003)"}})
                for (size_t at; (at = r.find(from)) != std::string::npos;) r.replace(at, from.size(), to);
            expected.push_back(r);
        }
        EXPECT_THAT(log.Records(), ElementsAreArray(expected));
        if (!c.treeLeft.empty()) {
            EXPECT_EQ(test::RegSubtree(HKEY_USERS, UserKey(user, kApp)), c.treeLeft);
        }
        EXPECT_TRUE(PathExists(folder + "\\a.log"));  // the profile's remaining steps are skipped
    }
}

// What lies behind a link in a user's folders is not the user's: neither the
// application's folder nor AppData may lead there, and a file with a second
// name elsewhere keeps both.
TEST_F(DelMultiUserDataTest, NothingBehindALinkIsDeleted) {
    const std::string root = test::ProfilesRoot();
    const std::string behind = Files(root + "\\behind", {"victim.log", "second.log"});
    Files(behind + "\\CATestApp", {"victim.log"});
    const std::string a = profiles.NextFolder() + "\\a";
    profiles.Add(UserHive(a), {.loggedOn = true});
    test::CreateFolders(a);
    ASSERT_TRUE(test::CreateFolderLink(a + "\\CATestApp", behind));
    const std::string b = profiles.NextFolder() + "\\b";
    profiles.Add(UserHive(b));
    ASSERT_TRUE(test::CreateFolderLink(b, behind));
    // The same shape without a link is cleaned as before.
    const std::string c = profiles.NextFolder() + "\\c";
    profiles.Add(UserHive(c), {.loggedOn = true});
    const std::string plain = Files(c + "\\CATestApp", {"x.log"});
    ASSERT_TRUE(CreateHardLinkA((plain + "\\second.log").c_str(), (behind + "\\second.log").c_str(), nullptr));

    Run(kItems);
    for (const char* kept : {"\\victim.log", "\\second.log", "\\CATestApp\\victim.log"})
        EXPECT_TRUE(PathExists(behind + kept)) << kept;
    EXPECT_FALSE(PathExists(plain + "\\x.log"));
    EXPECT_TRUE(PathExists(plain + "\\second.log"));
    EXPECT_THAT(log.Records(),
                ElementsAre("Code: 681 Point: HU7LPKPMX6M5NTQ (" + a + "\\CATestApp)(" + behind + ")",
                            "MSR5LRX99VL7M8Z:HU7LPKPMX6M5NTQ",
                            "Code: 681 Point: HU7LPKPMX6M5NTQ (" + b + "\\CATestApp)(" + behind + ")",  // the name met as a link
                            "MSR5LRX99VL7M8Z:HU7LPKPMX6M5NTQ"));
    test::RemoveFolderTree(a + "\\CATestApp");
    test::RemoveFolderTree(b);
}

// Every path the action opens.
std::vector<std::string> g_opened;
HANDLE WINAPI RecordingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE from) {
    g_opened.push_back(name);
    return test::Tracked().CreateFileA(name, access, share, security, disposition, flags, from);
}

// A user who swaps the application's folder for a link between the look at
// the folder and the deletions gains nothing: the folder is held (it cannot
// be renamed), and each file is opened by its name relative to the held
// folder, never by a path through the user's folders. Wine lets the folder
// above the held one be renamed (Windows does not): a link there leads the
// listing behind it, and still nothing behind it is opened or deleted.
TEST_F(DelMultiUserDataTest, FolderSwappedForALinkAfterTheLookKeepsWhatIsBehindIt) {
    static std::string s_parent, s_folder, s_behind;
    static bool s_swapped;
    s_behind = test::ProfilesRoot() + "\\behind";
    Files(s_behind + "\\CATestApp", {"victim.log", "own.log"});
    s_parent = profiles.NextFolder() + "\\a";
    profiles.Add(UserHive(s_parent), {.loggedOn = true});
    s_folder = Files(s_parent + "\\CATestApp", {"own.log"});
    s_swapped = false;
    g_opened.clear();
    PlatformOverride swap(&Platform::FindFirstFileA, [](LPCSTR pattern, LPWIN32_FIND_DATAA data) -> HANDLE {
        if (!s_swapped) {
            s_swapped = true;
            EXPECT_FALSE(MoveFileA(s_folder.c_str(), (s_folder + "-moved").c_str()));
            EXPECT_TRUE(MoveFileA(s_parent.c_str(), (s_parent + "-moved").c_str()));
            EXPECT_TRUE(test::CreateFolderLink(s_parent, s_behind));
            g_opened.clear();
        }
        return test::Tracked().FindFirstFileA(pattern, data);
    });
    PlatformOverride open(&Platform::CreateFileA, &RecordingCreateFile);
    Run(kItems);
    EXPECT_TRUE(s_swapped);
    EXPECT_TRUE(PathExists(s_behind + "\\CATestApp\\victim.log"));
    EXPECT_TRUE(PathExists(s_behind + "\\CATestApp\\own.log"));
    // The held folder, whose path now leads behind the link, is proven again
    // by that path and stays.
    EXPECT_TRUE(PathExists(s_parent + "-moved\\CATestApp"));
    EXPECT_THAT(g_opened, ElementsAre(s_folder));  // no file by a path through the user's folders
    EXPECT_THAT(log.Records(), IsEmpty());
    test::RemoveFolderTree(s_parent);
    test::RemoveFolderTree(s_parent + "-moved");
}

// A user's AppData is served only inside that user's own profile: another
// folder of the machine, another user's profile, a network path, another
// drive are not even opened; the user's own folder is served as before.
TEST_F(DelMultiUserDataTest, AppDataOutsideTheUsersOwnProfileIsNeitherOpenedNorCleaned) {
    const TestProfile& own = profiles.Add(UserHive("%USERPROFILE%\\AppData", REG_EXPAND_SZ), {.loggedOn = true});
    const std::string ownFolder = Files(own.folder + "\\AppData\\CATestApp", {"a.log"});
    const std::string kept[] = {Files("C:\\elsewhere\\CATestApp", {"a.log"}), Files(own.folder + "\\Other\\CATestApp", {"a.log"}),
                                Files(test::ProfilesRoot() + "\\shared\\CATestApp", {"a.log"})};
    std::vector<std::string> expected;
    for (const std::string& appData : {std::string("C:\\elsewhere"), own.folder + "\\Other", std::string("\\\\host\\share\\AppData"),
                                       std::string("Z:\\tmp\\CATestNoSuchFolder"), profiles.NextFolder() + "\\..\\shared"}) {
        const TestProfile& user = profiles.Add(UserHive(appData), {.loggedOn = true});
        expected.push_back("Code: 13 Point: R6WDX8MQ3ZT5KUE (" + appData + "\\CATestApp)(" + user.folder + ")");
        expected.push_back("MSR5LRX99VL7M8Z:R6WDX8MQ3ZT5KUE");
    }
    g_opened.clear();
    {
        PlatformOverride open(&Platform::CreateFileA, &RecordingCreateFile);
        Run(kItems);
    }
    EXPECT_THAT(log.Records(), ElementsAreArray(expected));
    EXPECT_FALSE(PathExists(ownFolder));
    for (const std::string& folder : kept) EXPECT_TRUE(PathExists(folder + "\\a.log")) << folder;
    for (const std::string& path : g_opened)
        for (const std::string& place : {kept[0], kept[1], kept[2], std::string("\\\\host"), std::string("Z:")})
            EXPECT_NE(path.rfind(place, 0), 0u) << path;
    test::RemoveFolderTree("C:\\elsewhere");
}

// A key of a user's tree that is a link (to the machine's registry, or to a
// key of the same hive the user may not change) is neither followed nor
// deleted: what it names stays, so does the link, logged, and the user's
// other steps go on.
TEST_F(DelMultiUserDataTest, RegistryLinksInAUsersTreeAreNeitherFollowedNorDeleted) {
    HKEY software = nullptr;  // the native view, which the link names
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &software), 0);
    test::CreateRegKey(software, "CATestVictim\\Vendor\\App\\Cache");
    const std::string aAppData = profiles.NextFolder() + "\\appdata";
    const TestProfile& a = profiles.Add(UserHive(aAppData, REG_SZ, false), {.loggedOn = true});
    test::DeleteRegTree(HKEY_USERS, UserKey(a, "Software\\CATest"));
    test::CreateRegLink(HKEY_USERS, UserKey(a, "Software\\CATest"), L"\\Registry\\Machine\\Software\\CATestVictim");
    const std::string bAppData = profiles.NextFolder() + "\\appdata";
    const TestProfile& b = profiles.Add(UserHive(bAppData), {.loggedOn = true});
    test::CreateRegKey(HKEY_USERS, UserKey(b, "Software\\CATestPolicies\\Victim\\Data"));
    test::DeleteRegTree(HKEY_USERS, UserKey(b, std::string(kApp) + "\\Cache"));
    test::CreateRegLink(HKEY_USERS, UserKey(b, std::string(kApp) + "\\Cache"),
                        L"\\Registry\\User\\" + std::wstring(b.keyName.begin(), b.keyName.end()) +
                            L"\\Software\\CATestPolicies\\Victim");
    const std::string folders[] = {Files(aAppData + "\\CATestApp", {"a.log"}), Files(bAppData + "\\CATestApp", {"b.log"})};

    Run(kItems);
    EXPECT_THAT(test::RegSubtree(software, "CATestVictim"), ElementsAre("Vendor", "Vendor\\App", "Vendor\\App\\Cache"));
    // The rest of b's tree goes; the link and the keys that hold it stay.
    EXPECT_THAT(test::RegSubtree(HKEY_USERS, UserKey(b, "Software\\CATest")),
                ElementsAre("Vendor", "Vendor\\App", "Vendor\\App\\Cache", "Vendor\\App\\Cache\\Data"));
    EXPECT_TRUE(test::RegKeyExists(HKEY_USERS, UserKey(b, "Software\\CATestPolicies\\Victim\\Data")));
    for (const std::string& folder : folders) EXPECT_FALSE(PathExists(folder));
    const std::string link = "Code: 681 Point: ", aTree = "(80000003)(" + UserKey(a, "Software\\CATest") + ")";
    EXPECT_THAT(log.Records(),
                ElementsAre(link + "W7KQ2ZP4XRN9DHT " + aTree, "N2VBF5GVTXCC427:W7KQ2ZP4XRN9DHT",
                            link + "F5NZ8VQ3JM2TYRC " + aTree, "TKS8ENS99HGUE7S:F5NZ8VQ3JM2TYRC",
                            link + "W7KQ2ZP4XRN9DHT (80000003)(" + UserKey(b, std::string(kApp) + "\\Cache") + ")",
                            "N2VBF5GVTXCC427:W7KQ2ZP4XRN9DHT"));
    test::DeleteRegTree(software, "CATestVictim");
    RegCloseKey(software);
}

TEST_F(DelMultiUserDataTest, InputThatWouldRemoveTooMuchIsRefusedBeforeAnyProfileIsTouched) {
    const TestProfile& user = profiles.Add(UserHive(test::ProfilesRoot() + "\\appdata"), {.loggedOn = true});
    const std::string folder = Files(test::ProfilesRoot() + "\\appdata\\CATestApp", {"a.log"});
    const char* const inputs[] = {
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;CATestApp",  // no fourth ";"
        ";Software\\CATest\\Vendor\\App;*.log;CATestApp;",
        "Software\\CATest\\Vendor;;*.log;CATestApp;",
        "Software\\CATest\\Vendor;\\;*.log;CATestApp;",
        "\\Software;Software\\CATest\\Vendor\\App;*.log;CATestApp;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;..\\*.log;CATestApp;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;x/*.log;CATestApp;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;C:\\CATestApp;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;\\\\server\\share;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;CATestApp\\..\\..;",
        "Software\\CATest\\Vendor;Software\\CATest\\Vendor\\App;*.log;.;",
    };
    for (const char* input : inputs) {
        SCOPED_TRACE(input);
        log.Remove();
        Accounting::ResetCounts();
        Run(input);
        EXPECT_THAT(log.Records(), ElementsAre("Code: 13 Point: MKP3C62ZX3ADDZV (" + std::string(input) + ")"));
        EXPECT_EQ(Accounting::Acquired(Resource::Key), 0);  // no profile list, no user
    }
    EXPECT_EQ(test::RegSubtree(HKEY_USERS, UserKey(user, "Software\\CATest")).size(), 6u);
    EXPECT_TRUE(PathExists(folder + "\\a.log"));
}

TEST_F(DelMultiUserDataTest, UnreadableInputAndForeignExceptionsEndTheAction) {
    const struct {
        UINT(__stdcall* action)(MSIHANDLE);
        const char* read;
        const char* catchAll;
    } entries[] = {{DelMultiUserData, "P9787KWWKWBI572", "8TWBI2KBMJFMWTH"},
                   {DelMultiUserDataRollback, "07F9WX9R0ROU7K7", "5EZF9NE61JYAC31"},
                   {DelMultiUserDataCommit, "Q5UIW4KBZPE7HM5", "SI3WKR45FUD1GH8"}};
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.read);
        log.Remove();
        Run(kItems, 0xBAD, entry.action);  // the installer answers 6
        EXPECT_THAT(log.Records(), ElementsAre("Code: 6 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))",
                                               std::string(entry.read) + ":A4LRP85LV7J52YM"));
        log.Remove();
        PlatformOverride throwing(&Platform::MsiGetPropertyA,
                                  [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(8); });
        Run(kItems, 0, entry.action);
        EXPECT_THAT(log.Records(), ElementsAre("Code: 8 Point: " + std::string(entry.catchAll) + " "));
    }
}

// ------------------------------------------------- undo with the transaction switch

constexpr char kProduct[] = "{6A1E4C2B-7D3F-4E58-9B0A-1C2D3E4F5A6B}";

std::vector<std::string> Keys(const std::string& path) { return test::RegDump(HKEY_USERS, path); }

std::string StoreOf(const char* product) { return StoreRootPath() + "\\" + product + "\\DelMultiUserData"; }

// The application's keys with values of every kind, and files, one read-only.
void WriteUserData(HKEY root, const std::string& below) {
    const std::string app = below + kApp;
    test::SetRegValue(root, app, "", "default");
    test::SetRegValue(root, app, "Path", "%USERPROFILE%\\x", REG_EXPAND_SZ);
    test::SetRegValue(root, app + "\\Settings\\Recent", "List", std::string("a\0b\0\0", 5), REG_MULTI_SZ);
    test::SetRegValue(root, app + "\\Settings\\Recent", "Raw", std::string("\x01\0\xFF", 3), REG_BINARY);
    test::SetRegValue(root, app + "\\Settings", "Count", std::string("\x07\0\0\0", 4), REG_DWORD);
    test::CreateRegKey(root, app + "\\Cache");
}

// The installing user (the prefix's own, hive loaded) and a user who is not
// logged on, both with keys and files: the removal with the switch, then the
// installation's rollback, leaves both as they were; run again, then
// committed, everything is gone, the store too. Without the switch no store
// is made. Wine writes nothing back to the file of a hive another process
// loaded: the offline user's keys are seen as each walk left them, just
// before its unload (gone after the removal; after the rollback, read from
// a file that never lost them, so their writing back is not seen there;
// the installing user's hive shows it).
TEST_F(DelMultiUserDataTest, TheRollbackPutsEveryUsersDataBackAndTheCommitLeavesItGone) {
    const std::string me = test::CurrentUserKeyName();
    char appData[MAX_PATH] = {};
    DWORD size = sizeof appData;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, kShellFolders, "AppData", RRF_RT_REG_SZ, nullptr, appData, &size), 0);
    const std::string mine = std::string(appData) + "\\CATestApp";
    const std::string offAppData = profiles.NextFolder() + "\\appdata";
    const TestProfile& off = profiles.Add([&](HKEY hive) {
        WriteUserData(hive, "");
        test::SetRegValue(hive, kShellFolders, "AppData", offAppData);
    });
    const std::string theirs = offAppData + "\\CATestApp";
    const auto prepare = [&] {
        WriteUserData(HKEY_USERS, me + "\\");
        Files(mine, {"a.log", "b.log"});
        Files(theirs, {"a.log", "keep.txt"});
        test::WriteTestFile(theirs + "\\ro.log", "read-only", FILE_ATTRIBUTE_READONLY);
    };
    const auto state = [&] {  // the installing user's keys, both users' files
        std::vector<std::string> seen = Keys(me + "\\Software\\CATest"), files = test::FolderFiles(theirs);
        seen.push_back("|");
        for (const std::vector<std::string>& part : {test::FolderFiles(mine), std::vector<std::string>{"|"}, files})
            seen.insert(seen.end(), part.begin(), part.end());
        return seen;
    };
    prepare();
    const std::vector<std::string> before = state(), offBefore = test::UserRegDump(off, "Software\\CATest");
    ASSERT_EQ(offBefore.size(), 11u);
    std::vector<std::string> offAtUnload;
    test::BeforeUnload observe([&](const std::string& keyName) {
        if (keyName == off.keyName) offAtUnload = Keys(keyName + "\\Software\\CATest");
    });
    const std::string switched = std::string(kItems) + "|" + kProduct;
    const std::vector<std::string> removed = {"", "|", "-", "|", "keep.txt=x", "ro.log=read-only ro"};  // the vendor key went too

    Run(switched);
    EXPECT_EQ(state(), removed);
    EXPECT_THAT(offAtUnload, ElementsAre(""));
    EXPECT_TRUE(PathExists(StoreOf(kProduct) + "\\journal"));
    for (int twice = 0; twice < 2; ++twice) {  // the second finds no store: no walk
        Run(switched, 0, DelMultiUserDataRollback);
        EXPECT_EQ(state(), before);
        EXPECT_EQ(offAtUnload, offBefore);
        EXPECT_FALSE(PathExists(StoreOf(kProduct)));
    }

    Run(switched);
    Run(switched, 0, DelMultiUserDataCommit);
    Run(switched, 0, DelMultiUserDataRollback);  // nothing left to put back
    EXPECT_EQ(state(), removed);
    prepare();
    Run(kItems);
    EXPECT_EQ(state(), removed);
    EXPECT_FALSE(PathExists(StoreRootPath() + "\\" + kProduct));
    EXPECT_THAT(log.Records(), IsEmpty());
    test::DeleteRegTree(HKEY_USERS, me + "\\Software\\CATest");
    test::RemoveFolderTree(theirs);
}

// What the removal with the switch and its rollback report when they
// cannot keep or put back something: a key is never removed without its
// backup and record, and the rollback never writes over what is there now,
// keeps the store, and finishes once the obstacle is gone.
LSTATUS WINAPI DeniedValues(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_ACCESS_DENIED; }

TEST_F(DelMultiUserDataTest, WhatCannotBeKeptStaysAndWhatCannotGoBackKeepsTheStore) {
    static int s_flushes;  // that go through before one fails
    const std::string appData = profiles.NextFolder() + "\\appdata", folder = appData + "\\CATestApp";
    const std::string store = StoreOf(kProduct);
    HKEY software = nullptr;  // the native view, which a link names
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &software), 0);
    const TestProfile* user = nullptr;
    const struct {
        const char* name;
        int flushes;                       // -1: no failing flush
        std::function<void()> meanwhile;  // between the removal and its rollback
        std::vector<std::string> records;  // "<T>": the tree key; "<S>": the store; "<U>": the user
        bool unreadable = false;           // the tree's values cannot be read
    } cases[] = {
        {"the tree cannot be read", -1, nullptr,
         {"Code: 5 Point: 8GHGT8D3D18GE1H (80000003)(<T>)", "N2VBF5GVTXCC427:8GHGT8D3D18GE1H"}, true},
        {"the backup cannot be written", 0, nullptr,
         {"Code: 112 Point: 4C61DW1ZCOYTT9J (<S>)(00000001)", "N2VBF5GVTXCC427:4C61DW1ZCOYTT9J"}},
        {"a record cannot be written", 1, nullptr,
         {"Code: 112 Point: MW2MB29SXFOQMCB (<S>)", "N2VBF5GVTXCC427:MW2MB29SXFOQMCB"}},
        {"a file was made meanwhile", -1, [&] { Files(folder, {"a.log"}); },
         {"Code: 183 Point: 51D001643K48KBI (<S>\\00000002)(" + folder + "\\a.log)"}},
        {"the folder above is gone", -1, [&] { test::RemoveFolderTree(appData); },
         {"Code: 3 Point: S2P3IH4FGEEOP34 (" + appData + ")"}},
        {"the tree's backup is gone", -1, [&] { DeleteFileA((store + "\\00000001").c_str()); },
         {"Code: 2 Point: D1RAJDBU34JQXS3 (<S>\\00000001)"}},
        {"the tree's backup is damaged", -1, [&] { test::WriteTestFile(store + "\\00000001", "damaged"); },
         {"Code: 13 Point: LI3RESG2GRY6ID7 (<T>)"}},
        {"a link where the keys go back", -1,
         [&] {
             test::DeleteRegTree(HKEY_USERS, UserKey(*user, "Software\\CATest"));
             test::CreateRegLink(HKEY_USERS, UserKey(*user, "Software\\CATest"), L"\\Registry\\Machine\\Software\\CATestVictim");
         },
         {"Code: 681 Point: 0HWSX2Y34FA02MC (80000003)(<U>\\Software\\CATest)"}},
        {"records of another profile and of another kind", -1,
         [&] {
             BackupStore kept;
             ASSERT_EQ(kept.OpenExisting(kProduct, "DelMultiUserData"), 0u);
             ASSERT_EQ(kept.Append({"moved", "x"}), 0u);
             ASSERT_EQ(kept.Append({"keys", "S-1-5-21-9-9-9-9", "", "", "", "Software\\X"}), 0u);
         },
         {"Code: 13 Point: 2CTWQ7HVWTRT508 (moved)(x)", "Code: 1317 Point: 3ARU5IKKRAVBPBX (S-1-5-21-9-9-9-9)(1)"}},
    };
    const std::string switched = std::string(kItems) + "|" + kProduct;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ProfileFixture users;
        user = &users.Add(UserHive(appData), {.loggedOn = true});
        // Too large to be kept in its record: the tree goes to a backup of its own.
        test::SetRegValue(HKEY_USERS, UserKey(*user, kApp), "Large", std::string(5000, 'x'), REG_BINARY);
        Files(folder, {"a.log"});
        test::CreateRegKey(software, "CATestVictim");
        const std::vector<std::string> keys = Keys(UserKey(*user, "Software\\CATest")), files = test::FolderFiles(folder);
        log.Remove();
        {
            s_flushes = c.flushes < 0 ? 1000 : c.flushes;
            PlatformOverride flush(&Platform::FlushFileBuffers, [](HANDLE file) -> BOOL {
                if (s_flushes-- > 0) return FlushFileBuffers(file);
                SetLastError(ERROR_DISK_FULL);
                return FALSE;
            });
            PlatformOverride values(&Platform::RegEnumValueA, c.unreadable ? &DeniedValues : Os().RegEnumValueA);
            Run(switched);
        }
        EXPECT_EQ(Keys(UserKey(*user, "Software\\CATest")) == keys, c.meanwhile == nullptr);  // kept, or kept safe
        if (c.meanwhile) c.meanwhile();
        Run(switched, 0, DelMultiUserDataRollback);
        std::vector<std::string> expected;
        for (std::string r : c.records) {
            for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
                     {"<T>", UserKey(*user, kApp)}, {"<U>", user->keyName}, {"<S>", store}})
                for (size_t at; (at = r.find(from)) != std::string::npos;) r.replace(at, from.size(), to);
            expected.push_back(r);
        }
        EXPECT_THAT(log.Records(), ElementsAreArray(expected));
        EXPECT_EQ(PathExists(store), c.meanwhile != nullptr);  // kept while something is not back
        EXPECT_THAT(test::RegSubtree(software, "CATestVictim"), IsEmpty());
        if (c.records[0].find("51D001643K48KBI") != std::string::npos) {
            // Once the obstacle is gone, the rollback finishes.
            DeleteFileA((folder + "\\a.log").c_str());
            log.Remove();
            Run(switched, 0, DelMultiUserDataRollback);
            EXPECT_EQ(test::FolderFiles(folder), files);
            EXPECT_EQ(Keys(UserKey(*user, "Software\\CATest")), keys);
            EXPECT_FALSE(PathExists(store));
            EXPECT_THAT(log.Records(), IsEmpty());
        }
        Run(switched, 0, DelMultiUserDataCommit);
        test::DeleteRegTree(HKEY_USERS, UserKey(*user, "Software\\CATest"));
        test::RemoveFolderTree(appData);
    }
    test::DeleteRegTree(software, "CATestVictim");
    RegDeleteKeyA(software, "CATestVictim");
    RegCloseKey(software);
}

// A key made in the tree after it was kept is not the kept tree's: it stays,
// and so do the keys that hold it; the rollback puts back the rest of the
// tree around it.
TEST_F(DelMultiUserDataTest, AKeyMadeAfterTheTreeWasKeptStaysWithItsParents) {
    static std::string s_made;
    const std::string appData = profiles.NextFolder() + "\\appdata";
    const TestProfile& user = profiles.Add(UserHive(appData), {.loggedOn = true});
    s_made = UserKey(user, std::string(kApp) + "\\Made");
    const std::vector<std::string> before = Keys(UserKey(user, "Software\\CATest"));
    const std::string switched = std::string(kItems) + "|" + kProduct;
    {
        // Made when the tree's record is flushed (the first flush: the switch
        // names no run), between the tree's read and its removal.
        PlatformOverride made(&Platform::FlushFileBuffers, [](HANDLE file) -> BOOL {
            if (!s_made.empty()) test::CreateRegKey(HKEY_USERS, s_made);
            s_made.clear();
            return FlushFileBuffers(file);
        });
        Run(switched);
    }
    EXPECT_TRUE(test::RegKeyExists(HKEY_USERS, UserKey(user, std::string(kApp) + "\\Made")));
    const std::string tree = "(80000003)(" + UserKey(user, kApp) + ")";
    EXPECT_THAT(log.Records(), ElementsAre("Code: 5 Point: ZF2YJ5VUS2INT5P ", tree, "N2VBF5GVTXCC427:ZF2YJ5VUS2INT5P"));
    log.Remove();
    Run(switched, 0, DelMultiUserDataRollback);
    std::vector<std::string> expected = before;
    expected.push_back("\\Vendor\\App\\Made");
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> after = Keys(UserKey(user, "Software\\CATest"));
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, expected);
    EXPECT_FALSE(PathExists(StoreOf(kProduct)));
    EXPECT_THAT(log.Records(), IsEmpty());
    test::DeleteRegTree(HKEY_USERS, UserKey(user, "Software\\CATest"));
}

}  // namespace
}  // namespace ca
