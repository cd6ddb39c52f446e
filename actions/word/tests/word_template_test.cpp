// The Word template actions over real profiles of the test prefix: the
// startup folders they find, the files they place and remove, the retries on
// a file in use, and every failure site.
#include "actions/action.h"
#include "actions/users/folder.h"
#include "actions/word/template_file.h"
#include "store/backup_store.h"
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
extern "C" UINT __stdcall CopyMSWordDotRollback(MSIHANDLE);
extern "C" UINT __stdcall CopyMSWordDotCommit(MSIHANDLE);
extern "C" UINT __stdcall DelMSWordDotRollback(MSIHANDLE);
extern "C" UINT __stdcall DelMSWordDotCommit(MSIHANDLE);

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
constexpr char kSwitch[] = "|{6A1F0C3B-92D4-4E57-8B1A-C0D2E3F4A5B6}";

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

// Every folder and file below `folder` (hive files left out): path, and a
// file's content and read-only mark.
std::string Tree(const std::string& folder) {
    std::string text;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return text;
    do {
        const std::string name = found.cFileName, path = folder + "\\" + name;
        if (name == "." || name == ".." || _strnicmp(name.c_str(), "ntuser", 6) == 0) continue;
        const DWORD attributes = found.dwFileAttributes;
        text += path + ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? "\n" + Tree(path) : "=" + Content(path) + "\n") +
                ((attributes & FILE_ATTRIBUTE_READONLY) ? "ro\n" : "");
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return text;
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

std::string Lower(std::string text) {
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The path a create relative to a held folder names, in lower case.
std::string NamedPath(POBJECT_ATTRIBUTES object) {
    char folder[MAX_PATH * 4] = {};
    GetFinalPathNameByHandleA(object->RootDirectory, folder, sizeof folder, FILE_NAME_NORMALIZED);
    char name[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t), name,
                        sizeof name, nullptr, nullptr);
    std::string path = std::string(folder).substr(std::string_view(folder).rfind("\\\\?\\", 0) == 0 ? 4 : 0);
    return Lower(path + "\\" + name);
}

// What a row does before each create relative to a held folder (the path it
// names in lower case, the access, the create options): a status to answer
// instead, or none for the real call.
std::function<std::optional<NTSTATUS>(const std::string&, ACCESS_MASK, ULONG)> g_beforeCreate;

NTSTATUS NTAPI HookedNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                  PIO_STATUS_BLOCK status, PLARGE_INTEGER allocation, ULONG attributes, ULONG share,
                                  ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    if (g_beforeCreate)
        if (const std::optional<NTSTATUS> answer = g_beforeCreate(NamedPath(object), access, options)) return *answer;
    return test::Tracked().NtCreateFile(file, access, object, status, allocation, attributes, share, disposition,
                                        options, ea, eaLength);
}

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022L);

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
        g_beforeCreate = nullptr;
    }
    ~WordTemplateTest() override {
        SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(ownTemplate.c_str());
        for (const std::string& folder : ownFolders) RemoveDirectoryA(folder.c_str());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application");
        RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application");
    }

    // A user whose profile folder is root + "\\" + name.
    const TestProfile& User(const std::string& name, const test::HiveContent& content, bool loggedOn = false) {
        return profiles.Add(content, {.loggedOn = loggedOn, .imagePath = root + "\\" + name});
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
    // Logged on; the custom folder (in the user's terms) and the default
    // folder and their parents are missing.
    const TestProfile& on = User("on", WordUser(root + "\\on\\AppData", "%UserProfile%\\on-custom\\deep\\"), true);
    const std::string onCustom = root + "\\on\\on-custom\\deep\\" + kTemplate;
    const std::string onDefault = root + "\\on\\AppData\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    // Not logged on, with an older read-only template.
    User("off", WordUser(root + "\\off\\AppData", "%APPDATA%\\custom"));
    const std::string offDefault = Template(root + "\\off\\AppData\\Microsoft\\Word\\STARTUP", "old",
                                            FILE_ATTRIBUTE_READONLY);
    const std::string offCustom = root + "\\off\\AppData\\custom\\" + kTemplate;
    (void)on;

    // What each copy found at its target.
    static std::map<std::string, DWORD> s_before;
    s_before.clear();
    {
        PlatformOverride copy(&Platform::NtCreateFile, &HookedNtCreateFile);
        g_beforeCreate = [](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
            if (access & GENERIC_WRITE) s_before[path] = GetFileAttributesA(path.c_str());
            return std::nullopt;
        };
        Copy(source + ";" + kTemplate);
    }
    for (const std::string& placed : {onCustom, onDefault, offCustom, offDefault, ownTemplate}) {
        EXPECT_EQ(Content(placed), "new") << placed;
        EXPECT_TRUE(IsReadOnly(placed)) << placed;
    }
    // The platform here lets a copy overwrite a read-only file; the action
    // must not rely on it.
    EXPECT_EQ(s_before[Lower(offDefault)] & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(s_before[Lower(onDefault)], INVALID_FILE_ATTRIBUTES);
    EXPECT_THAT(log.Records(), IsEmpty());

    // A user without a template: only the module-wide record hears of it.
    const std::string noneFolder = root + "\\none\\AppData";
    User("none", WordUser(noneFolder));
    test::CreateFolders(noneFolder);
    Delete(kTemplate);
    for (const std::string& placed : {onCustom, onDefault, offCustom, offDefault, ownTemplate}) EXPECT_FALSE(PathExists(placed));
    EXPECT_THAT(log.Records(), IsEmpty());
    const ErrorData record = ModuleRecord();
    EXPECT_EQ(record.point, "NJPFBYKHSENRG8N");
    EXPECT_EQ(record.code, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(record.extText, FormatStrgLine(noneFolder + "\\Microsoft\\Word\\STARTUP\\" + kTemplate));
}

// With the transaction switch each action does what it does without, and
// its rollback puts every user's folders back as they were (files, contents,
// read-only marks, folders made), its commit keeps the change; either
// leaves no store, and without the switch none is made.
TEST_F(WordTemplateTest, RollbackPutsEveryUsersFoldersBackAndCommitKeepsTheChange) {
    Template(root + "\\source", "new");
    User("on", WordUser(root + "\\on\\AppData", "%UserProfile%\\custom\\deep\\"), true);  // both missing
    User("off", WordUser(root + "\\off\\AppData", "%APPDATA%\\custom"));  // an older read-only template
    const auto prepare = [&] {
        for (const char* made : {"\\on\\custom", "\\on\\AppData", "\\off\\AppData"})
            test::RemoveFolderTree(root + made);
        Template(root + "\\off\\AppData\\Microsoft\\Word\\STARTUP", "old", FILE_ATTRIBUTE_READONLY);
        Template(root + "\\off\\AppData\\custom", "other");
        SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(ownTemplate.c_str());
        for (const std::string& folder : ownFolders) RemoveDirectoryA(folder.c_str());
    };
    const std::string own = ownTemplate.substr(0, ownTemplate.rfind("\\Microsoft\\"));
    const auto snapshot = [&] { return Tree(root) + "|" + Tree(own + "\\Microsoft\\Word"); };
    prepare();
    const std::string before = snapshot();
    using Action = UINT(__stdcall*)(MSIHANDLE);
    const struct {
        Action forward, settle;  // settle null: without the switch, the state the action makes
        const char* name;
    } cases[] = {{CopyMSWordDot, nullptr, "CopyMSWordDot"}, {CopyMSWordDot, CopyMSWordDotRollback, "CopyMSWordDot"},
                 {CopyMSWordDot, CopyMSWordDotCommit, "CopyMSWordDot"}, {DelMSWordDot, nullptr, "DelMSWordDot"},
                 {DelMSWordDot, DelMSWordDotRollback, "DelMSWordDot"}, {DelMSWordDot, DelMSWordDotCommit, "DelMSWordDot"}};
    std::map<Action, std::string> done;  // what each action leaves
    for (const auto& c : cases) {
        const bool rollback = c.settle == CopyMSWordDotRollback || c.settle == DelMSWordDotRollback;
        const std::string data = (c.forward == CopyMSWordDot ? root + "\\source;" : "") + kTemplate +
                                 (c.settle ? kSwitch : ""), store = StoreRootPath() + "\\" + (kSwitch + 1) + "\\" + c.name;
        SCOPED_TRACE(data + (rollback ? " rolled back" : ""));
        prepare();
        log.Remove();
        Run(c.forward, data);
        EXPECT_THAT(log.Records(), IsEmpty());
        EXPECT_EQ(PathExists(store), c.settle != nullptr);
        if (!c.settle) {
            done[c.forward] = snapshot();
            EXPECT_NE(done[c.forward], before);
            continue;
        }
        EXPECT_EQ(snapshot(), done[c.forward]);
        for (int time = 0; time < 2; ++time) Run(c.settle, data);  // twice: the second finds nothing
        EXPECT_THAT(log.Records(), IsEmpty());
        EXPECT_EQ(snapshot(), rollback ? before : done[c.forward]);
        EXPECT_FALSE(PathExists(store));
    }
}

// With the switch, a copy that fails puts the older template back from the
// store, so that the commit deletes nothing of the user's (where it cannot at
// once, the commit puts it back, or keeps the store when the name was taken
// meanwhile); a copy tried again keeps each older template apart; the
// rollback deletes only its own copy.
TEST_F(WordTemplateTest, FailedCopyPutsTheOlderTemplateBackAndRollbackDeletesOnlyItsCopy) {
    User("user", WordUser(root + "\\user\\AppData"), true);
    const std::string startup = root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", file = startup + "\\" + kTemplate;
    Template(root + "\\source", "new");
    const std::string data = root + "\\source;" + kTemplate + kSwitch;
    // What a row refuses once: the copy's write ("full" 112, "busy" 32), the
    // record of its number ("number"), the older template's way back ("back").
    static std::string s_refused;
    PlatformOverride write(&Platform::WriteFile, [](HANDLE h, LPCVOID buffer, DWORD size, LPDWORD done,
                                                    LPOVERLAPPED overlapped) -> BOOL {
        const std::string path = Lower(FinalPathOf(h)), bytes = Lower({static_cast<const char*>(buffer), size});
        const bool number = bytes.rfind("copied\t", 0) == 0 && bytes.find("\\\\user\\\\appdata") != std::string::npos;
        for (const auto& [refused, code] : {std::pair{"full", 112}, {"busy", 32}, {"number", 5}})
            if (const size_t at = s_refused.find(refused); at != std::string::npos &&
                (code == 5 ? number : path.find("\\user\\appdata\\") != std::string::npos))
                return s_refused.erase(at, strlen(refused)), SetLastError(code), FALSE;
        return test::Tracked().WriteFile(h, buffer, size, done, overlapped);
    });
    PlatformOverride rename(&Platform::NtSetInformationFile, [](HANDLE h, PIO_STATUS_BLOCK status, PVOID info,
                                                                ULONG size, FILE_INFORMATION_CLASS type) {
        // FileRenameInformation: after its flag, the folder it renames into.
        const bool back = type == 10 && strstr(FinalPathOf(static_cast<HANDLE*>(info)[1]).c_str(), "\\user\\AppData");
        if (back && s_refused.find("back") != std::string::npos) return kAccessDenied;
        return test::Tracked().NtSetInformationFile(h, status, info, size, type);
    });
    PlatformOverride sleep(&Platform::Sleep, &Sleepless);
    const std::vector<std::string> noNumber = {"Code: 5 Point: F1JRMN1V1Y9J03B (copied)(" + file + ")",
                                               "GWLXWPMD6G28HLV:F1JRMN1V1Y9J03B"},
                                   notTheCopy = {"Code: 80 Point: 177QDB6IQITH711 (" + file + ")"},
                                   notBack = {"Code: 5 Point: ZIYZ795LGC2P8XB (" + file + ")(00000001)",
                                              "GWLXWPMD6G28HLV:ZIYZ795LGC2P8XB"},
                                   notPutBack = {"Code: 183 Point: OHIOFYK2LXYZ8MJ (" + file + ")(00000001)"};
    // Over an older read-only template or none: the records of the copy and of
    // the settling, and what each leaves ("mine": the user's file took the name).
    const struct {
        const char* refused;
        bool old;
        std::vector<std::string> records, settled;
        std::string copied, after;
        UINT(__stdcall* settle)(MSIHANDLE);
        bool kept = false;  // the store stays after the settling
    } cases[] = {
        {"full", true, {}, {}, "old+ro", "old+ro", CopyMSWordDotCommit},
        {"full back", true, notBack, {}, "(none)", "old+ro", CopyMSWordDotRollback},
        {"full back", true, notBack, {}, "(none)", "old+ro", CopyMSWordDotCommit},
        {"full back", true, notBack, notPutBack, "(none)", "mine", CopyMSWordDotCommit, true},
        {"number back", true, {noNumber[0], notBack[0], notBack[1]}, {notTheCopy[0], notPutBack[0]}, "(none)", "mine",
         CopyMSWordDotRollback, true},
        {"busy", true, {}, {}, "new+ro", "old+ro", CopyMSWordDotRollback},
        {"number", false, noNumber, notTheCopy, "(none)", "mine", CopyMSWordDotRollback},
        {"", false, {}, notTheCopy, "new+ro", "mine", CopyMSWordDotRollback},
    };
    const auto state = [&] { return PathExists(file) ? Content(file) + (IsReadOnly(file) ? "+ro" : "") : "(none)"; };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.refused) + (c.old ? " over an older template" : ""));
        log.Remove();
        test::RemoveFolderTree(root + "\\user\\AppData");
        SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);  // no backup of its own before ours
        DeleteFileA(ownTemplate.c_str());
        if (c.old) Template(startup, "old", FILE_ATTRIBUTE_READONLY);
        s_refused = c.refused;
        Run(CopyMSWordDot, data);
        s_refused.clear();
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        EXPECT_EQ(state(), c.copied);
        if (c.after == "mine") {  // made beside the name first: another file number than the copy's
            test::WriteTestFile(startup + "\\mine.tmp", "mine");
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            MoveFileExA((startup + "\\mine.tmp").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        log.Remove();
        Run(c.settle, data);
        EXPECT_THAT(log.Records(), ElementsAreArray(c.settled));
        EXPECT_EQ(state(), c.after);
        EXPECT_EQ(PathExists(StoreRootPath() + "\\" + (kSwitch + 1)), c.kept);
        if (c.kept) test::RemoveFolderTree(StoreRootPath() + "\\" + (kSwitch + 1));
    }
}

// A custom folder that is the default one, spelt in other letters, is
// served once: a second pass would take the first pass's copy for an older
// template, and from another volume that copy comes back from the store as
// another file, which the rollback could not tell for its own.
TEST_F(WordTemplateTest, ACustomFolderThatIsTheDefaultIsServedOnce) {
    User("same", WordUser(root + "\\same\\AppData", "%APPDATA%\\microsoft\\word\\startup"), true);
    const std::string file = root + "\\same\\AppData\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    Template(root + "\\source", "new");
    Template(root + "\\same\\AppData\\Microsoft\\Word\\STARTUP", "old", FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(ownTemplate.c_str());
    static std::string s_store;
    s_store = Lower(StoreRootPath());
    PlatformOverride otherVolume(&Platform::NtSetInformationFile, [](HANDLE h, PIO_STATUS_BLOCK status, PVOID info,
                                                                     ULONG size, FILE_INFORMATION_CLASS type) {
        // FileRenameInformation into the store from outside: the store lies on another volume.
        const auto inStore = [](HANDLE object) { return Lower(FinalPathOf(object)).find(s_store) != std::string::npos; };
        if (type == 10 && inStore(static_cast<HANDLE*>(info)[1]) && !inStore(h))
            return static_cast<NTSTATUS>(0xC00000D4);
        return test::Tracked().NtSetInformationFile(h, status, info, size, type);
    });
    const std::string data = root + "\\source;" + kTemplate + kSwitch;
    Run(CopyMSWordDot, data);
    EXPECT_EQ(Content(file), "new");
    Run(CopyMSWordDotRollback, data);
    EXPECT_EQ(Content(file), "old");
    EXPECT_TRUE(IsReadOnly(file));
    EXPECT_THAT(log.Records(), IsEmpty());
    EXPECT_FALSE(PathExists(StoreRootPath() + "\\" + (kSwitch + 1)));
}

TEST_F(WordTemplateTest, TemplateHeldByAnotherProcessIsTriedFourTimesAndKept) {
    User("user", WordUser(root + "\\user\\AppData"), true);
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
    User("user", WordUser(root + "\\user\\AppData", root + "\\user\\custom"), true);
    const std::string custom = root + "\\user\\custom\\" + kTemplate;
    const std::string fallback = root + "\\user\\AppData\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    PlatformOverride sleep(&Platform::Sleep, &Sleepless);
    PlatformOverride create(&Platform::NtCreateFile, &HookedNtCreateFile);
    const struct {
        NTSTATUS status;  // of every open of the custom template for its deletion
        int opens;
        std::vector<std::string> records;
    } cases[] = {
        {static_cast<NTSTATUS>(0xC0000243L), 4,  // STATUS_USER_MAPPED_FILE
         {"Code: 1224 Point: MRPL3R7MGZ6TYNF ", "3TRYKDP7SELAWPL:MRPL3R7MGZ6TYNF"}},
        {static_cast<NTSTATUS>(0xC0000043L), 4,  // STATUS_SHARING_VIOLATION
         {"Code: 32 Point: MRPL3R7MGZ6TYNF ", "3TRYKDP7SELAWPL:MRPL3R7MGZ6TYNF"}},
        {kAccessDenied, 2, {}},  // once more without changing attributes, then given up
        {static_cast<NTSTATUS>(0xC0000034L), 1, {}},  // STATUS_OBJECT_NAME_NOT_FOUND
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        log.Remove();
        g_calls.clear();
        const NTSTATUS answer = c.status;
        const std::string lowerCustom = Lower(custom);
        g_beforeCreate = [&](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
            if (path != lowerCustom || !(access & DELETE)) return std::nullopt;
            g_calls.push_back("delete");
            return answer;
        };
        Template(root + "\\user\\custom", "old");
        Template(root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", "old");
        Delete(kTemplate);
        EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "delete"), c.opens);
        EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "Sleep 100"), c.records.empty() ? 0 : c.opens - 1);
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        EXPECT_TRUE(PathExists(custom));
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

    const std::string custom = Template(root + "\\a\\custom", "old");
    User("a", WordUser({}, root + "\\a\\custom", false), true);                // no "Shell Folders"
    profiles.Add(WordUser({}));                                                 // no AppData value
    const std::string fallback = Template(root + "\\c\\Microsoft\\Word\\STARTUP", "old");
    User("c", WordUser(root + "\\c"));                                          // no options key
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
    Template(root + "\\a\\custom", "old");
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
    User("w", WordUser(root + "\\w", root + "\\w\\custom"), true);
    ASSERT_TRUE(test::CreateFolderLink(root + "\\w\\custom", behind));       // the custom folder
    ASSERT_TRUE(test::CreateFolderLink(root + "\\w\\Microsoft", behind));    // above the default one
    // A startup folder of its own whose template is a second name of a file elsewhere.
    const std::string other = Template(root + "\\elsewhere", "other");
    test::CreateFolders(root + "\\h\\Microsoft\\Word\\STARTUP");
    const std::string second = root + "\\h\\Microsoft\\Word\\STARTUP\\" + kTemplate;
    ASSERT_TRUE(CreateHardLinkA(second.c_str(), other.c_str(), nullptr));
    User("h", WordUser(root + "\\h"));
    Template(root + "\\source", "new");

    const std::string custom = "Code: 681 Point: HU7LPKPMX6M5NTQ (" + root + "\\w\\custom)(" + behind + ")";
    // The link above the default folder is met as itself on the way down.
    const std::string above =
        "Code: 681 Point: HU7LPKPMX6M5NTQ (" + root + "\\w\\Microsoft\\Word\\STARTUP)(" + behind + ")";
    Copy(root + "\\source;" + kTemplate);
    EXPECT_THAT(log.Records(), ElementsAre(custom, "3TRYKDP7SELAWPL:HU7LPKPMX6M5NTQ", above,
                                           "GWLXWPMD6G28HLV:HU7LPKPMX6M5NTQ"));
    EXPECT_FALSE(PathExists(behind + "\\Word"));
    log.Remove();
    Delete(kTemplate);
    EXPECT_THAT(log.Records(),
                ElementsAre(custom, "3TRYKDP7SELAWPL:HU7LPKPMX6M5NTQ", above, "GWLXWPMD6G28HLV:HU7LPKPMX6M5NTQ"));
    EXPECT_TRUE(Content(victim) == "victim" && IsReadOnly(victim));
    EXPECT_TRUE(Content(other) == "other" && !IsReadOnly(other) && PathExists(second));
    test::RemoveFolderTree(root + "\\w\\custom");
    test::RemoveFolderTree(root + "\\w\\Microsoft");
}

// The folder a new folder or the template goes into, swapped for a link on
// the host between its proof and the creation: what is made is made by name
// in the held folder and proven there, so nothing is left behind the link.
TEST_F(WordTemplateTest, FolderSwappedForALinkBeforeTheCreationGetsNothingBehindIt) {
    static std::string s_behind;
    s_behind = root + "\\behind";
    User("u", WordUser(root + "\\u\\AppData"), true);
    Template(root + "\\source", "new");
    const std::string appData = root + "\\u\\AppData", startup = appData + "\\Microsoft\\Word\\STARTUP";
    const struct {
        const char* name;
        std::string swapped;  // the folder swapped when its child is about to be made
        std::string child;
        std::vector<::testing::Matcher<std::string>> records;
    } cases[] = {
        // The new folder, made behind the link, is not in place and goes
        // again (the platform may then give no final path for it at all);
        // this platform refuses the creation in a folder moved away (6)
        // already.
        {"the folder above a new one", appData, "Microsoft",
         {::testing::Matcher<std::string>(::testing::AnyOf(
              "Code: 681 Point: HU7LPKPMX6M5NTQ (" + appData + "\\Microsoft)(" + s_behind + "\\Microsoft)",
              "Code: 681 Point: HU7LPKPMX6M5NTQ (" + appData + "\\Microsoft)()",  // no final path for it
              "Code: 6 Point: MI6VFAPVGZZPWT7 (" + startup + ")(" + appData + "\\Microsoft)(3)")),
          ::testing::Matcher<std::string>(
              ::testing::AnyOf("BDRIWZKRSRBJFHT:HU7LPKPMX6M5NTQ", "BDRIWZKRSRBJFHT:MI6VFAPVGZZPWT7")),
          ::testing::Matcher<std::string>(::testing::StartsWith("GWLXWPMD6G28HLV:BDRIWZKRSRBJFHT:"))}},
        {"the startup folder", startup, kTemplate, {}},  // a template not in place is passed over
    };
    PlatformOverride create(&Platform::NtCreateFile, &HookedNtCreateFile);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Remove();
        test::RemoveFolderTree(appData);
        test::RemoveFolderTree(appData + "-moved");
        test::RemoveFolderTree(startup + "-moved");
        test::RemoveFolderTree(s_behind);
        test::CreateFolders(s_behind);
        test::CreateFolders(c.child == kTemplate ? startup : appData);
        const std::string swapped = c.swapped, wanted = Lower(c.swapped + "\\" + c.child);
        // Swapped when the child is about to be made (opened for deletion
        // too), not when the look down the folders meets its name.
        g_beforeCreate = [&](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
            if (path == wanted && (access & DELETE) && !test::IsFolderLink(swapped)) {
                EXPECT_TRUE(test::MoveOnHost(swapped, swapped + "-moved"));
                EXPECT_TRUE(test::CreateFolderLink(swapped, s_behind));
            }
            return std::nullopt;
        };
        Copy(root + "\\source;" + kTemplate);
        g_beforeCreate = nullptr;
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        EXPECT_TRUE(test::IsFolderLink(swapped));
        // Whatever was made went into the held folder, wherever that is now.
        EXPECT_FALSE(PathExists(s_behind + "\\" + c.child));
        test::RemoveFolderTree(swapped);
    }
    test::RemoveFolderTree(appData + "-moved");
    test::RemoveFolderTree(startup + "-moved");
}

// A user's folders outside that user's own profile folder (no link needed:
// the values say so): nothing there is made, written or removed, and the
// user's other folder and the other users are still served.
TEST_F(WordTemplateTest, FoldersOutsideTheUsersProfileAreNotTouched) {
    Template(root + "\\source", "new");
    const std::string elsewhere = root + "\\elsewhere";
    const std::string victim = Template(elsewhere + "\\Microsoft\\Word\\STARTUP", "victim");
    User("a", WordUser(root + "\\a\\AppData", elsewhere + "\\custom"));
    User("b", WordUser(elsewhere, "%APPDATA%\\x"));
    User("c", WordUser(root + "\\c\\AppData", root + "\\a\\custom"), true);  // another user's profile
    User("d", WordUser("D:\\ca-data", "\\\\ca-no-server\\share\\w"));
    User("e", WordUser(root + "\\e\\AppData", "%TEMP%\\w"));  // the installer's variables are not the user's
    const auto outside = [&](const std::string& folder, const std::string& user, const char* point) {
        return std::vector<std::string>{"Code: 13 Point: R6WDX8MQ3ZT5KUE (" + folder + ")(" + root + "\\" + user + ")",
                                        std::string(point) + ":R6WDX8MQ3ZT5KUE"};
    };
    std::vector<std::string> records;
    for (const auto& part : {outside(elsewhere + "\\custom", "a", "3TRYKDP7SELAWPL"),
                             outside(elsewhere + "\\x", "b", "3TRYKDP7SELAWPL"),
                             outside(elsewhere + "\\Microsoft\\Word\\STARTUP", "b", "GWLXWPMD6G28HLV"),
                             outside(root + "\\a\\custom", "c", "3TRYKDP7SELAWPL"),
                             outside("\\\\ca-no-server\\share\\w", "d", "3TRYKDP7SELAWPL"),
                             outside("D:\\ca-data\\Microsoft\\Word\\STARTUP", "d", "GWLXWPMD6G28HLV"),
                             std::vector<std::string>{"Code: 13 Point: Q2ZDX774H8246IN (%TEMP%\\w)",
                                                      "3TRYKDP7SELAWPL:Q2ZDX774H8246IN"}})
        records.insert(records.end(), part.begin(), part.end());
    std::vector<std::string> served;
    for (const char* user : {"a", "c", "e"})
        served.push_back(root + "\\" + user + "\\AppData\\Microsoft\\Word\\STARTUP\\" + kTemplate);

    Copy(root + "\\source;" + kTemplate);
    EXPECT_THAT(log.Records(), ElementsAreArray(records));
    for (const std::string& placed : served) EXPECT_EQ(Content(placed), "new") << placed;
    EXPECT_FALSE(PathExists(elsewhere + "\\custom"));
    EXPECT_FALSE(PathExists(elsewhere + "\\x"));
    EXPECT_FALSE(PathExists(root + "\\a\\custom"));
    EXPECT_TRUE(Content(victim) == "victim" && !IsReadOnly(victim));
    log.Remove();
    SetFileAttributesA(victim.c_str(), FILE_ATTRIBUTE_READONLY);
    Delete(kTemplate);
    EXPECT_THAT(log.Records(), ElementsAreArray(records));
    for (const std::string& placed : served) EXPECT_FALSE(PathExists(placed)) << placed;
    EXPECT_TRUE(Content(victim) == "victim" && IsReadOnly(victim));
}

// A change of attributes of anything in the profiles answered `code`; the
// walk's own entry in the profile folder goes as ever.
template <DWORD code>
BOOL WINAPI AttributesRefusedInProfiles(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    char path[MAX_PATH * 4] = {};
    GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
    if (!strstr(path, "ca-profiles") || type != FileBasicInfo) return SetFileInformationByHandle(file, type, info, size);
    SetLastError(code);
    return FALSE;
}

TEST_F(WordTemplateTest, EveryActionAndWalkFailureSite) {
    const TestProfile& user = User("user", WordUser(root + "\\user\\AppData"));
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
        attempts.push_back("create " + Lower(root + "\\user\\AppData"));
        attempts.push_back("Sleep 100");
    }
    const auto copy = &CopyMSWordDot;
    const auto del = &DelMSWordDot;
    const std::string copyKept = copyData + kSwitch, delKept = kTemplate + std::string(kSwitch);
    const std::string file = startup + "\\" + kTemplate;
    // A rollback's seam, after the forward action with the switch (over a
    // template there when `old`).
    const auto after = [&](UINT(__stdcall * forward)(MSIHANDLE), bool old, const Seam& seam) -> Seam {
        return [=, this](const std::function<void()>& run) {
            if (old) Template(startup, "old");
            Run(forward, forward == copy ? copyKept : delKept);
            log.Remove();
            seam(run);
        };
    };
    const auto denied = [](const std::string& path, ACCESS_MASK access, bool folder) {
        return [=](const std::function<void()>& run) {
            PlatformOverride o(&Platform::NtCreateFile, &HookedNtCreateFile);
            g_beforeCreate = [=](const std::string& named, ACCESS_MASK asked, ULONG options) -> std::optional<NTSTATUS> {
                const bool match = named.find(Lower(path)) != std::string::npos && (asked & access) &&
                                   ((options & FILE_DIRECTORY_FILE) != 0) == folder;
                return match ? std::optional<NTSTATUS>(kAccessDenied) : std::nullopt;
            };
            run();
        };
    };
    const Seam noRename = [&](const auto& run) {  // over an older template
        Template(startup, "old");
        PlatformOverride o(&Platform::NtSetInformationFile,
                           [](HANDLE h, PIO_STATUS_BLOCK status, PVOID info, ULONG size, FILE_INFORMATION_CLASS type) {
                               if (type == 10) return kAccessDenied;  // FileRenameInformation
                               return test::Tracked().NtSetInformationFile(h, status, info, size, type);
                           });
        run();
    };

    // Over an older read-only template, as Wine run by an ordinary user: no
    // open of a read-only file for its attributes; `more` adds its own seam.
    const auto ordinaryUser = [&](const Seam& more) -> Seam {
        return [=](const std::function<void()>& run) {
            Template(startup, "old", FILE_ATTRIBUTE_READONLY);
            PlatformOverride o(&Platform::NtCreateFile, &HookedNtCreateFile);
            g_beforeCreate = [](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
                if (path.rfind(Lower(s_root), 0) == 0 && (access & FILE_WRITE_ATTRIBUTES)) return kAccessDenied;
                return std::nullopt;
            };
            more(run);
        };
    };

    struct Case {
        const char* name;
        UINT(__stdcall* action)(MSIHANDLE);
        std::string data;
        MSIHANDLE install;
        Seam seam;
        std::vector<std::string> records;
        std::vector<std::string> calls = {};  // checked when given
    };
    std::vector<Case> cases = {
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
             PlatformOverride o(&Platform::NtCreateFile, &HookedNtCreateFile);
             g_beforeCreate = [](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
                 if (path.rfind(Lower(s_root), 0) == 0 && (access & GENERIC_WRITE)) test::ThrowForeign(8);
                 return std::nullopt;
             };
             run();
         },
         {"Code: 8 Point: DWPKNW8NJS4K9BJ ", "GWLXWPMD6G28HLV:DWPKNW8NJS4K9BJ"}},
        {"copy: the folders cannot be created", copy, copyData, 0,
         [](const auto& run) {
             PlatformOverride sleep(&Platform::Sleep, &Sleepless);
             PlatformOverride o(&Platform::NtCreateFile, &HookedNtCreateFile);
             g_beforeCreate = [](const std::string& path, ACCESS_MASK access, ULONG options) -> std::optional<NTSTATUS> {
                 if (!(options & FILE_DIRECTORY_FILE) || !(access & DELETE)) return std::nullopt;  // makes, not looks
                 g_calls.push_back("create " + path);
                 return kAccessDenied;
             };
             run();
         },
         {"Code: 5 Point: MI6VFAPVGZZPWT7 (" + startup + ")(" + root + "\\user\\AppData)(4)",
          "BDRIWZKRSRBJFHT:MI6VFAPVGZZPWT7", "GWLXWPMD6G28HLV:BDRIWZKRSRBJFHT:MI6VFAPVGZZPWT7"},
         attempts},  // five at the first missing folder, 100 ms apart
        {"delete: the read-only mark cannot be taken off through the handle", del, kTemplate, 0,
         [](const auto& run) {
             WordTemplateTest::Template(s_root + "\\user\\AppData\\Microsoft\\Word\\STARTUP", "old",
                                        FILE_ATTRIBUTE_READONLY);
             PlatformOverride o(&Platform::SetFileInformationByHandle, &AttributesRefusedInProfiles<ERROR_ACCESS_DENIED>);
             run();
         },
         {"Code: 5 Point: 1UYDXARAHJRJLWF (" + startup + "\\" + kTemplate + ")",
          "GWLXWPMD6G28HLV:1UYDXARAHJRJLWF"}},
        {"copy: the read-only mark cannot be taken off by name either", copy, copyData, 0,
         ordinaryUser([](const auto& run) {
             PlatformOverride set(&Platform::SetFileInformationByHandle,
                                  &AttributesRefusedInProfiles<ERROR_SHARING_VIOLATION>);
             run();
         }),
         {"Code: 32 Point: 1UYDXARAHJRJLWF (" + startup + "\\" + kTemplate + ")",
          "GWLXWPMD6G28HLV:1UYDXARAHJRJLWF"}},
        {"copy: the mark is taken off the held file, never by a name a link may turn elsewhere", copy, copyData, 0,
         ordinaryUser([](const auto& run) {
             PlatformOverride set(&Platform::SetFileAttributesA, [](LPCSTR name, DWORD attributes) -> BOOL {
                 // The name leads through a link put on the held file that instant.
                 return SetFileAttributesA(strstr(name, s_root.c_str()) ? (s_root + "\\source\\" + kTemplate).c_str()
                                                                       : name, attributes);
             });
             run();
         }),
         {}},
        {"copy: the name leads to another file than the one held", copy, copyData, 0,
         ordinaryUser([](const auto& run) {  // the name, opened afresh, is another file by then
             PlatformOverride open(&Platform::CreateFileA, [](LPCSTR name, DWORD access, DWORD share,
                                                             LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                             DWORD flags, HANDLE model) -> HANDLE {
                 const bool fresh = strstr(name, "\\user\\AppData") && (flags & FILE_FLAG_OPEN_REPARSE_POINT);
                 return CreateFileA(fresh ? (s_root + "\\source\\" + kTemplate).c_str() : name, access, share,
                                    security, disposition, flags, model);
             });
             run();
         }),
         {"Code: 681 Point: 52WTZBMJ6CWCE11 (" + startup + "\\" + kTemplate + ")", "GWLXWPMD6G28HLV:52WTZBMJ6CWCE11"}},
        {"copy: a record of the undo cannot be written", copy, copyKept, 0, denied("\\journal", GENERIC_WRITE, false),
         {"Code: 5 Point: F1JRMN1V1Y9J03B (copying)(" + ownTemplate + ")", "GWLXWPMD6G28HLV:F1JRMN1V1Y9J03B",
          "Code: 5 Point: F1JRMN1V1Y9J03B (folder)(" + root + "\\user\\AppData)", "BDRIWZKRSRBJFHT:F1JRMN1V1Y9J03B",
          "GWLXWPMD6G28HLV:BDRIWZKRSRBJFHT:F1JRMN1V1Y9J03B"}},
        {"copy: the older template cannot go into the store", copy, copyKept, 0, noRename,
         {"Code: 5 Point: 64S1JQXWEF8V346 (" + file + ")", "GWLXWPMD6G28HLV:64S1JQXWEF8V346"}},
        {"delete: the template cannot go into the store", del, delKept, 0, noRename,
         {"Code: 5 Point: ZOC83AP8SV8132U (" + file + ")", "GWLXWPMD6G28HLV:ZOC83AP8SV8132U"}},
        {"delete rollback: a file took the name meanwhile", DelMSWordDotRollback, delKept, 0,
         after(del, true, [&](const auto& run) { Template(startup, "meanwhile"), run(); }),
         {"Code: 183 Point: OHIOFYK2LXYZ8MJ (" + file + ")(00000001)"}},
        {"copy rollback: the copy cannot be deleted", CopyMSWordDotRollback, copyKept, 0,
         after(copy, false, denied(file, DELETE, false)), {"Code: 5 Point: U74YR16RCOD443G (" + file + ")"}},
        {"copy rollback: a folder made cannot be removed", CopyMSWordDotRollback, copyKept, 0,
         after(copy, false, denied(startup, DELETE, true)),
         {"Code: 5 Point: HU7LPKPMX6M5NTQ (" + startup + ")()", "UJH4HJHXNBM4E2H:HU7LPKPMX6M5NTQ"}},
        {"copy rollback: the user is not reached", CopyMSWordDotRollback, copyKept, 0,
         after(copy, false,
               [](const auto& run) {
                   PlatformOverride o(&Platform::RegLoadKeyA, [](HKEY, LPCSTR, LPCSTR) -> LSTATUS { return 5; });
                   run();
               }),
         {"Code: 5 Point: 6S6WD9D7TCZRNVU (" + user.keyName + ")(" + user.hiveFile + ")",
          "Code: 1317 Point: R9BVQ6RVBPTZS06 (" + user.keyName + ")"}},
    };
    // Each rollback's failed walk, and the entry points' unreadable input and exception.
    const Seam noVersion = [](const auto& run) {
        PlatformOverride o(&Platform::GetVersionExA, [](LPOSVERSIONINFOA) -> BOOL { return SetLastError(1150), FALSE; });
        run();
    };
    const Seam throwing = [](const auto& run) {
        PlatformOverride o(&Platform::MsiGetPropertyA, [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(8); });
        run();
    };
    for (const auto& [forward, action, walk, read, thrown] :
         {std::tuple{copy, &CopyMSWordDotRollback, "CPG00K7SBT8G8SI", "2P7PJFHTO8TIG07", "7XVYT8N4ZZ5JBM5"},
          {copy, &CopyMSWordDotCommit, "", "BBE9F9NMIOMXJCH", "SJAFRZO7N6SBD8J"},
          {del, &DelMSWordDotRollback, "SPHZZ3JU7X84TFD", "6VERWNSKU6P2O63", "60IJ1USARYIS0F6"},
          {del, &DelMSWordDotCommit, "", "7LRWQI09WB0FJ2I", "POF90W18DGG24NG"}}) {
        const std::string data = forward == copy ? copyKept : delKept;
        if (*walk)
            cases.push_back({"rollback: the walk fails", action, data, 0, after(forward, true, noVersion),
                             {"Code: 1150 Point: FX3DY62ICHNGM52 ", std::string(walk) + ":FX3DY62ICHNGM52"}});
        cases.push_back({"undo input unreadable", action, data, 0xBAD, none,
                         {"Code: 6 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))",
                          std::string(read) + ":A4LRP85LV7J52YM"}});
        cases.push_back({"undo: exception", action, data, 0, throwing, {"Code: 8 Point: " + std::string(thrown) + " "}});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Remove();
        g_calls.clear();
        test::RemoveFolderTree(root + "\\user\\AppData");
        test::RemoveFolderTree(StoreRootPath() + "\\" + (kSwitch + 1));
        SetFileAttributesA(ownTemplate.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(ownTemplate.c_str());
        c.seam([&] { Run(c.action, c.data, c.install); });
        EXPECT_THAT(log.Records(), ElementsAreArray(c.records));
        if (!c.calls.empty()) {
            EXPECT_EQ(g_calls, c.calls);
        }
        g_beforeCreate = nullptr;
    }
}

TEST_F(WordTemplateTest, FolderPathAndReadOnlyRoutines) {
    std::vector<std::string> created;
    {
        PlatformOverride create(&Platform::NtCreateFile, &HookedNtCreateFile);
        g_beforeCreate = [&](const std::string& path, ACCESS_MASK access, ULONG) -> std::optional<NTSTATUS> {
            if (access & DELETE) created.push_back(path);  // what may make a folder, not the look down to it
            return std::nullopt;
        };
        ActionError error;
        test::CreateFolders(root);
        // The fixture's folder stands for a user's proven profile folder.
        UniqueFile held;
        EXPECT_TRUE(CreateFolderPath(root + "\\x\\y\\z\\", root, held, error));  // the trailing separator is dropped
        EXPECT_TRUE(held);
        EXPECT_TRUE(CreateFolderPath(root + "\\x\\.\\y", root, held, error));     // exists: no call
        EXPECT_THAT(log.Records(), IsEmpty());
        const struct {
            std::string path;
            const char* point;
            std::string extra;
        } refused[] = {
            {"relative", "LH2VPM55L4S3QMQ", "(relative)"},
            // Nothing outside the profile is looked at: no share, no other drive, no way up.
            {"\\\\ca-no-server\\share\\a\\b", "R6WDX8MQ3ZT5KUE", "(\\\\ca-no-server\\share\\a\\b)(" + root + ")"},
            {root + "\\x\\..\\..\\q", "R6WDX8MQ3ZT5KUE", "(" + root + "\\x\\..\\..\\q)(" + root + ")"},
            {root + "-other\\q", "R6WDX8MQ3ZT5KUE", "(" + root + "-other\\q)(" + root + ")"},
        };
        for (const auto& r : refused) {
            SCOPED_TRACE(r.path);
            EXPECT_FALSE(CreateFolderPath(r.path, root, held, error));
            EXPECT_FALSE(held);
            EXPECT_EQ(error.Point(), r.point);
            EXPECT_EQ(error.Extra(), r.extra);
        }
        log.Remove();
    }
    EXPECT_THAT(created, ElementsAre(Lower(root + "\\x"), Lower(root + "\\x\\y"), Lower(root + "\\x\\y\\z")));
    EXPECT_FALSE(PathExists(root + "-other"));

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
