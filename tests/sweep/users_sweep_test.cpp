// The sweep of the per-user actions, over two profiles of their own beside
// the prefix's user: one logged on, one whose hive the walk loads. Deferred,
// they set no property; whatever fails, they never remove more than the
// package named, and leave no hive loaded and no privilege enabled (the
// accounting checks those after every run).
#include "sweep.h"

#include "profile_fixture.h"
#include "store/backup_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

extern "C" UINT __stdcall DelMultiUserData(MSIHANDLE);
extern "C" UINT __stdcall DelMultiUserDataRollback(MSIHANDLE);
extern "C" UINT __stdcall CopyMSWordDot(MSIHANDLE);
extern "C" UINT __stdcall DelMSWordDot(MSIHANDLE);
extern "C" UINT __stdcall CopyMSWordDotRollback(MSIHANDLE);
extern "C" UINT __stdcall DelMSWordDotRollback(MSIHANDLE);

namespace ca::test {
namespace {

constexpr char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kApp[] = "Software\\CASweep\\Vendor\\App";
constexpr char kOther[] = "Software\\CASweep\\Other";

std::string ReadFileText(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(none)";
    char buffer[256] = {};
    DWORD read = 0;
    ::ReadFile(h, buffer, sizeof buffer - 1, &read, nullptr);
    ::CloseHandle(h);
    return std::string(buffer, read);
}

std::string Attributes(const std::string& path) {
    const DWORD a = ::GetFileAttributesA(path.c_str());
    return a == INVALID_FILE_ATTRIBUTES ? "-" : (a & FILE_ATTRIBUTE_READONLY) ? "ro" : "rw";
}

void ExpectNoProperty(const SweepRun& run) { EXPECT_TRUE(run.writes.empty()); }

TEST(Sweep, DelMultiUserData) {
    ProfileFixture profiles;
    const TestProfile& on = profiles.Add(
        [&](HKEY hive) {
            SetRegValue(hive, kUserShellFolders, "AppData", "%USERPROFILE%\\AppData", REG_EXPAND_SZ);
        },
        {.loggedOn = true});
    const std::string offAppData = profiles.NextFolder() + "\\off appdata";  // inside that user's profile
    profiles.Add([&](HKEY hive) {
        CreateRegKey(hive, std::string(kApp) + "\\Settings\\Recent");
        SetRegValue(hive, kUserShellFolders, "AppData", offAppData);
    });
    const std::string onFolder = on.folder + "\\AppData\\CASweepApp";
    const std::string offFolder = offAppData + "\\CASweepApp";
    RunSweep({"DelMultiUserData",
              [&](InstallerSession& s) {
                  CreateRegKey(HKEY_USERS, on.keyName + "\\" + kApp + "\\Settings\\Recent");
                  CreateRegKey(HKEY_USERS, on.keyName + "\\" + kOther);
                  for (const std::string& folder : {onFolder, offFolder}) {
                      CreateFolders(folder);
                      WriteTestFile(folder + "\\a.log");
                      WriteTestFile(folder + "\\keep.txt");
                  }
                  s.Set("CustomActionData", "Software\\CASweep\\Vendor;Software\\CASweep\\Vendor\\App;*.log;CASweepApp;");
              },
              DelMultiUserData,
              [&](const SweepRun& run) {
                  ExpectNoProperty(run);
                  // Never more than the package named.
                  EXPECT_TRUE(RegKeyExists(HKEY_USERS, on.keyName + "\\" + kOther));
                  EXPECT_TRUE(PathExists(onFolder + "\\keep.txt"));
                  EXPECT_TRUE(PathExists(offFolder + "\\keep.txt"));
              },
              // The walk ends its enumeration at any answer but a name, and
              // file deletions (each opened first) report nothing.
              {"RegEnumKeyExA", "CreateFileA", "GetFileInformationByHandleEx", "GetFinalPathNameByHandleA",
               "SetFileInformationByHandle"},
              {{"malloc", 234}},
              [&] { DeleteRegTree(HKEY_USERS, on.keyName + "\\Software\\CASweep"); },
              [&] {
                  return std::to_string(RegKeyExists(HKEY_USERS, on.keyName + "\\" + kApp)) +
                         std::to_string(RegKeyExists(HKEY_USERS, on.keyName + "\\Software\\CASweep\\Vendor")) +
                         std::to_string(PathExists(onFolder + "\\a.log")) +
                         std::to_string(PathExists(offFolder + "\\a.log"));
              }});
}

// A child of the kill sweep: this executable started with
// CA_KILL_USERS_AT=<n> runs DelMultiUserData on CA_KILL_PARAMETERS and ends
// itself at its n-th registry call.
const int g_killUsersChild = [] {
    const char* at = std::getenv("CA_KILL_USERS_AT");
    if (at == nullptr) return 0;
    {
        InstallerSession session;
        session.Set("CustomActionData", std::getenv("CA_KILL_PARAMETERS"));
        FaultSweep sweep;
        sweep.ActAtRegistryCall(static_cast<size_t>(std::atoi(at)), FaultAction::Exit);
        DelMultiUserData(session.Handle());
    }
    ::ExitProcess(0);
    return 1;
}();

// The removal with the switch, ended at each of its registry calls (a
// power cut, a killed process), then the installation's rollback: both
// users' keys, values and files are as before. The hive of the user who is
// not logged on stays loaded when the removal is ended while it is (as on
// the test platform): it is seen there; otherwise it is loaded to be seen.
// The calls are shared out among three cases, each within a test's time;
// on the 32-bit platform, where a process costs seconds, the removal is
// ended at every third call only.
constexpr size_t kKillShards = 3;
constexpr size_t kKillStride = sizeof(void*) == 4 ? 3 : 1;

class KilledRemoval : public ::testing::TestWithParam<size_t> {};

TEST_P(KilledRemoval, EndedAtRegistryCallsThenRolledBack) {
    ProfileFixture profiles;
    const auto data = [](HKEY root, const std::string& below) {
        SetRegValue(root, below + kApp, "Name", "value");
        SetRegValue(root, below + kApp + "\\Settings\\Recent", "Count", std::string("\x02\0\0", 3), REG_DWORD);
    };
    const TestProfile& on = profiles.Add(
        [&](HKEY hive) { SetRegValue(hive, kUserShellFolders, "AppData", "%USERPROFILE%\\AppData", REG_EXPAND_SZ); },
        {.loggedOn = true});
    const std::string offAppData = profiles.NextFolder() + "\\off appdata";
    const TestProfile& off = profiles.Add([&](HKEY hive) {
        data(hive, "");
        SetRegValue(hive, kUserShellFolders, "AppData", offAppData);
    });
    const std::string onFolder = on.folder + "\\AppData\\CASweepApp", offFolder = offAppData + "\\CASweepApp";
    const auto state = [&] {
        std::vector<std::string> seen = UserRegDump(on, "Software\\CASweep"), offKeys = UserRegDump(off, "Software\\CASweep");
        for (const std::vector<std::string>& part : {offKeys, FolderFiles(onFolder), FolderFiles(offFolder)})
            seen.insert(seen.end(), part.begin(), part.end());
        return seen;
    };
    constexpr char kProduct[] = "{2F4C6E8A-1B3D-4F5A-8C7E-9D0B1A2C3E4F}";
    const std::string parameters =
        std::string("Software\\CASweep\\Vendor;Software\\CASweep\\Vendor\\App;*.log;CASweepApp;|") + kProduct;
    InstallerSession session;
    session.Set("CustomActionData", parameters);
    size_t calls = 0, runs = 0, killed = 0;
    std::vector<std::string> before;
    for (size_t at = GetParam() * kKillStride; runs == 0 || at < calls; ++runs) {
        SCOPED_TRACE("ended at registry call " + std::to_string(at));
        data(HKEY_USERS, on.keyName + "\\");
        for (const std::string& folder : {onFolder, offFolder}) {
            CreateFolders(folder);
            WriteTestFile(folder + "\\a.log", "a");
        }
        WriteTestFile(offFolder + "\\ro.log", "ro", FILE_ATTRIBUTE_READONLY);
        if (runs == 0) {  // the whole removal first: how many calls it makes
            before = state();
            ASSERT_EQ(before.size(), 17u);
            FaultSweep sweep;
            DelMultiUserData(session.Handle());
            calls = sweep.RegistryCallCount(FaultAction::Exit);
        } else {
            killed += RunKilledChild("CA_KILL_USERS_AT", at, parameters) == kKilledExitCode;
            at += kKillShards * kKillStride;
        }
        EXPECT_EQ(DelMultiUserDataRollback(session.Handle()), 0u);
        EXPECT_EQ(state(), before);
        EXPECT_FALSE(PathExists(StoreRootPath() + "\\" + kProduct)) << "the rollback settled everything";
    }
    EXPECT_GT(killed, runs / 2);
    DeleteRegTree(HKEY_USERS, on.keyName + "\\Software\\CASweep");
    for (const std::string& folder : {onFolder, offFolder}) RemoveFolderTree(folder);
}

INSTANTIATE_TEST_SUITE_P(Sweep, KilledRemoval, ::testing::Range<size_t>(0, kKillShards));

// Two users with Word 12: the logged-on one with a startup folder of his
// own besides the default one, the other only the default.
struct WordUsers {
    ProfileFixture profiles;
    std::string root = ProfilesRoot();
    std::string source = root + "\\template source";
    std::vector<std::string> folders;  // every startup folder the actions serve
    std::vector<std::string> made;     // the folders of the test users, made anew for each run
    std::vector<std::string> own;      // folders of the prefix's user made here, innermost first
    const TestProfile* on = nullptr;

    WordUsers() {
        SetRegValue(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", "", "Word.Application.12");
        // Every user's folders lie inside that user's own profile.
        const std::string onHome = profiles.NextFolder();
        const std::string onAppData = onHome + "\\on appdata", custom = onHome + "\\custom startup";
        on = &profiles.Add(
            [&](HKEY hive) {
                SetRegValue(hive, kShellFolders, "AppData", onAppData);
                SetRegValue(hive, "Software\\Microsoft\\Office\\12.0\\Word\\Options", "STARTUP-PATH", custom);
            },
            {.loggedOn = true});
        const std::string offAppData = profiles.NextFolder() + "\\off appdata";
        profiles.Add([&](HKEY hive) { SetRegValue(hive, kShellFolders, "AppData", offAppData); });
        CreateFolders(source);
        WriteTestFile(source + "\\ca-sweep.dot", "template");
        folders = {custom, onAppData + "\\Microsoft\\Word\\STARTUP", offAppData + "\\Microsoft\\Word\\STARTUP"};
        made = {custom, onAppData, offAppData};
        // The prefix's own user keeps the startup folder it has (made once).
        char mine[MAX_PATH] = {};
        DWORD size = sizeof mine;
        if (::RegGetValueA(HKEY_CURRENT_USER, kShellFolders, "AppData", RRF_RT_REG_SZ, nullptr, mine, &size) == 0) {
            folders.push_back(std::string(mine) + "\\Microsoft\\Word\\STARTUP");
            for (const char* part : {"\\Microsoft", "\\Microsoft\\Word", "\\Microsoft\\Word\\STARTUP"})
                if (!PathExists(mine + std::string(part))) own.insert(own.begin(), mine + std::string(part));
            CreateFolders(folders.back());
        }
    }
    // The test users' startup folders as before the first copy: missing.
    void RemoveFolders() const {
        for (const std::string& folder : folders) RemoveTemplate(folder);
        for (const std::string& folder : made) RemoveFolderTree(folder);
    }
    ~WordUsers() {
        for (const std::string& folder : folders) {
            RemoveTemplate(folder);
            ::DeleteFileA((folder + "\\other.dot").c_str());
        }
        for (const std::string& folder : own) ::RemoveDirectoryA(folder.c_str());
        DeleteRegTree(HKEY_CLASSES_ROOT, "Word.Application");
        ::RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application");
    }
    static void RemoveTemplate(const std::string& folder) {
        const std::string file = folder + "\\ca-sweep.dot";
        ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(file.c_str());
    }
    // Each folder's template: its text and whether it is read-only.
    std::string State() const {
        std::string text;
        for (const std::string& folder : folders)
            text += ReadFileText(folder + "\\ca-sweep.dot") + "/" + Attributes(folder + "\\ca-sweep.dot") + ";";
        return text;
    }
};

// Failures the template operation leaves unreported: a copy or deletion that
// fails other than by a file in use (the opens and the copy's reads and
// writes), the read-only mark (reported to the module's own record only), a
// missing folder of the user's own ("STARTUP-PATH" and its expansion), and
// single failures that a retry gets over.
const std::set<std::string> kWordSilent = {"CopyFileA",        "DeleteFileA",     "SetFileAttributesA",
                                           "GetFileAttributesA", "RegOpenKeyExA", "RegQueryValueExA",
                                           "ExpandEnvironmentStringsA", "RegEnumKeyExA", "CreateFileA",
                                           "SetFilePointerEx", "SetEndOfFile",  "ReadFile", "WriteFile",
                                           "GetFileInformationByHandleEx", "GetFinalPathNameByHandleA",
                                           "SetFileInformationByHandle"};

TEST(Sweep, CopyMSWordDot) {
    WordUsers users;
    RunSweep({"CopyMSWordDot",
              [&](InstallerSession& s) {
                  users.RemoveFolders();
                  s.Set("CustomActionData", users.source + ";ca-sweep.dot");
              },
              CopyMSWordDot,
              [&](const SweepRun& run) {
                  ExpectNoProperty(run);
                  // A template that is there is the whole new one.
                  for (const std::string& folder : users.folders) {
                      const std::string text = ReadFileText(folder + "\\ca-sweep.dot");
                      EXPECT_TRUE(text == "template" || text == "(none)") << folder;
                  }
              },
              kWordSilent, {{"malloc", 234}}, nullptr, [&] { return users.State(); }});
}

TEST(Sweep, DelMSWordDot) {
    WordUsers users;
    RunSweep({"DelMSWordDot",
              [&](InstallerSession& s) {
                  for (const std::string& folder : users.folders) {
                      CreateFolders(folder);
                      WordUsers::RemoveTemplate(folder);
                      WriteTestFile(folder + "\\ca-sweep.dot", "template", FILE_ATTRIBUTE_READONLY);
                      WriteTestFile(folder + "\\other.dot", "other");
                  }
                  s.Set("CustomActionData", "ca-sweep.dot");
              },
              DelMSWordDot,
              [&](const SweepRun& run) {
                  ExpectNoProperty(run);
                  for (const std::string& folder : users.folders)
                      EXPECT_EQ(ReadFileText(folder + "\\other.dot"), "other") << folder;
              },
              kWordSilent, {{"malloc", 234}}, nullptr, [&] { return users.State(); }});
}

// ------------------------------------------- ended at every step, rolled back

// A child of the sweep: this executable started with CA_WORD_END_AT=<n>
// runs the Word action of CA_WORD_DATA (the copy's has a ";") and ends
// itself before its n-th change of a file: a write, a flush, a mark or
// deletion (a run with fewer ends with 0).
const int g_wordChild = [] {
    const char* at = std::getenv("CA_WORD_END_AT");
    if (at == nullptr) return 0;
    {
        const std::string data = std::getenv("CA_WORD_DATA");
        InstallerSession session;
        session.Set("CustomActionData", data);
        FaultSweep sweep;
        sweep.EndAtCallOf({"WriteFile", "FlushFileBuffers", "SetFileInformationByHandle"}, std::atoi(at));
        (data.find(';') != std::string::npos ? CopyMSWordDot : DelMSWordDot)(session.Handle());
    }
    ::ExitProcess(0);
    return 1;
}();

DWORD RunEnded(size_t at, const std::string& data) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    ::SetEnvironmentVariableA("CA_WORD_END_AT", std::to_string(at).c_str());
    ::SetEnvironmentVariableA("CA_WORD_DATA", data.c_str());
    STARTUPINFOA si{.cb = sizeof si};
    PROCESS_INFORMATION child{};
    const BOOL started = ::CreateProcessA(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child);
    ::SetEnvironmentVariableA("CA_WORD_END_AT", nullptr);
    DWORD code = 0xFFFFFFFF;
    if (started && ::WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(child.hProcess, &code);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return code;
}

// Each action with the transaction switch, ended before each of its file
// steps (a power cut there), then its rollback: every folder as before.
TEST(Sweep, WordTemplateActionsEndedAtEveryStepRollBack) {
    WordUsers users;
    const std::string product = "{3C5E7A91-0B2D-4F68-A1C3-E5F708192A3B}", store = StoreRootPath() + "\\" + product;
    const auto snapshot = [&] {
        std::string text = users.State();
        for (const std::string& folder : users.folders) text += std::to_string(PathExists(folder));
        return text;
    };
    const std::function<void()> copy = [&] {  // an older read-only template in one folder, the others missing
        users.RemoveFolders();
        CreateFolders(users.folders[2]);
        WriteTestFile(users.folders[2] + "\\ca-sweep.dot", "old", FILE_ATTRIBUTE_READONLY);
    };
    const std::function<void()> remove = [&] {
        for (const std::string& folder : users.folders) {
            CreateFolders(folder);
            WordUsers::RemoveTemplate(folder);
            WriteTestFile(folder + "\\ca-sweep.dot", "template", FILE_ATTRIBUTE_READONLY);
        }
    };
    InstallerSession session;
    for (const auto& [data, rollback, prepare] :
         {std::tuple{users.source + ";ca-sweep.dot|" + product, &CopyMSWordDotRollback, copy},
          {"ca-sweep.dot|" + product, &DelMSWordDotRollback, remove}}) {
        prepare();
        const std::string before = snapshot();
        DWORD ended = kKilledExitCode;
        for (size_t at = 0; ended == kKilledExitCode && at < 1000; ++at) {  // up to the whole run
            SCOPED_TRACE(data + " ended at step " + std::to_string(at));
            RemoveFolderTree(store);
            prepare();
            ended = RunEnded(at, data);
            ASSERT_TRUE(ended == kKilledExitCode || ended == 0) << ended;
            session.Set("CustomActionData", data);
            EXPECT_EQ(rollback(session.Handle()), 0u);
            EXPECT_EQ(snapshot(), before);
            EXPECT_FALSE(PathExists(store));
        }
        EXPECT_EQ(ended, 0u);
    }
}

}  // namespace
}  // namespace ca::test
