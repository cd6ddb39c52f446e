// The world the demonstration package is installed into, in a Wine prefix:
// what a machine with an earlier version of the application holds, and the
// programs that run on it.
//
//   demo_prepare prepare OPTIONS_FILE   earlier version, users and their data,
//                                       Word, the key and folder to grant,
//                                       the options file (copied from OPTIONS_FILE)
//   demo_prepare state                  prints all of it, one fact a line
//   demo_prepare hold EVENT ITEM...     holds window:CLASS and mutex:NAME
//                                       items until EVENT is set; prints
//                                       "ready" once it holds them all
//   demo_prepare release EVENT          ends the hold of EVENT
//   demo_prepare cleanup                removes everything prepare made and
//                                       what the package left there
//
// Exit code 0 on success, 1 on bad usage, 2 when something could not be made.
#include "../support/folders.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// The earlier version's record, the key and folder the package grants.
constexpr char kProductKey[] = "Software\\CustActionDemo";
constexpr char kSharedKey[] = "Software\\CustActionDemo\\Shared";
constexpr char kDemoRoot[] = "C:\\CustActionDemo";
constexpr char kDataFolder[] = "C:\\CustActionDemo\\Data";
constexpr char kOptionsFile[] = "C:\\CustActionDemo\\Setup\\CustActionDemo.opts";
// The installing user's own Word startup folder, inside the user's profile
// (the actions serve no other), named in the user's terms.
constexpr char kWordStartup[] = "%USERPROFILE%\\CustActionDemo Word Startup";
constexpr char kWordOptions[] = "Software\\Microsoft\\Office\\11.0\\Word\\Options";

// Each user's data: a key tree, files in the application's AppData folder.
constexpr char kUserKey[] = "Software\\CustActionDemo";
constexpr char kUserAppFolder[] = "CustActionDemo";
constexpr char kTemplate[] = "CustActionDemo.dot";

// A second user who is not logged on, and a profile whose folder is gone.
constexpr char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kOtherUser[] = "S-1-5-21-4242-4242-4242-1001";
constexpr char kOtherFolder[] = "C:\\users\\demo-user";
constexpr char kStaleUser[] = "S-1-5-21-4242-4242-4242-1002";
constexpr char kStaleFolder[] = "C:\\users\\gone-user";
constexpr char kStaging[] = "Software\\CustActionDemoStaging";

constexpr char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool g_ok = true;

void Fail(const std::string& what, DWORD code) {
    std::fprintf(stderr, "demo_prepare: %s: error %lu\n", what.c_str(), static_cast<unsigned long>(code));
    g_ok = false;
}

// --- registry -------------------------------------------------------------

HKEY CreateKey(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    const LONG created = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) {
        Fail("create key " + path, created);
        return nullptr;
    }
    return key;
}

void SetText(HKEY root, const std::string& path, const char* name, const std::string& text, DWORD type = REG_SZ) {
    const HKEY key = CreateKey(root, path);
    if (key == nullptr) return;
    const LONG set = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
    if (set != ERROR_SUCCESS) Fail("set " + path + " " + (name ? name : ""), set);
    RegCloseKey(key);
}

void SetNumber(HKEY root, const std::string& path, const char* name, DWORD number) {
    const HKEY key = CreateKey(root, path);
    if (key == nullptr) return;
    const LONG set = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    if (set != ERROR_SUCCESS) Fail("set " + path + " " + name, set);
    RegCloseKey(key);
}

void DeleteTree(HKEY root, const std::string& path) {
    RegDeleteTreeA(root, path.c_str());
    RegDeleteKeyA(root, path.c_str());
}

std::string ValueText(DWORD type, const std::vector<BYTE>& data) {
    char buffer[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            std::string text(reinterpret_cast<const char*>(data.data()), data.size());
            text.resize(std::find(text.begin(), text.end(), '\0') - text.begin());
            return "\"" + text + "\"" + (type == REG_EXPAND_SZ ? " (expandable)" : "");
        }
        case REG_DWORD: {
            DWORD number = 0;
            std::copy_n(data.begin(), std::min<size_t>(data.size(), sizeof number), reinterpret_cast<BYTE*>(&number));
            std::snprintf(buffer, sizeof buffer, "%lu (dword)", static_cast<unsigned long>(number));
            return buffer;
        }
        default: {
            const char* kind = type == REG_BINARY ? "binary" : type == REG_MULTI_SZ ? "multi-string" : "type";
            std::string text = kind;
            if (type != REG_BINARY && type != REG_MULTI_SZ) text += " " + std::to_string(type);
            std::snprintf(buffer, sizeof buffer, ", %zu bytes:", data.size());
            text += buffer;
            for (size_t i = 0; i < data.size() && i < 24; ++i) {
                std::snprintf(buffer, sizeof buffer, " %02x", data[i]);
                text += buffer;
            }
            return data.size() > 24 ? text + " ..." : text;
        }
    }
}

// One line for the key and one for each value, then the subkeys in turn.
void PrintTree(HKEY root, const std::string& path, const std::string& shown) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::printf("key   %s\n", shown.c_str());
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        DWORD type = 0;
        std::vector<BYTE> data(4096);
        DWORD dataSize = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS) break;
        data.resize(dataSize);
        std::printf("value %s : %s = %s\n", shown.c_str(), nameSize ? name : "(default)",
                    ValueText(type, data).c_str());
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& name : subkeys) PrintTree(root, path + "\\" + name, shown + "\\" + name);
}

bool SetPrivilege(const char* name, bool on) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    const bool found = LookupPrivilegeValueA(nullptr, name, &change.Privileges[0].Luid);
    change.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    const bool changed = found && AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr) &&
                         GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return changed;
}

// Runs f with the hive privileges enabled.
void WithHivePrivileges(const std::function<void()>& f) {
    if (!SetPrivilege(SE_BACKUP_NAME, true) || !SetPrivilege(SE_RESTORE_NAME, true))
        Fail("enable the backup and restore privileges", GetLastError());
    f();
    SetPrivilege(SE_RESTORE_NAME, false);
    SetPrivilege(SE_BACKUP_NAME, false);
}

bool IsLoaded(const char* sid) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, sid, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// --- files ----------------------------------------------------------------

std::string InstallingUserAppData() {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueA(HKEY_CURRENT_USER, kShellFolders, "AppData", RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

void CreateFolders(const std::string& path) {
    if (!ca::test::CreateFolders(path)) Fail("create folder " + path, GetLastError());
}

void WriteTextFile(const std::string& path, const std::string& content) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("write " + path, GetLastError());
        return;
    }
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

// Removes the template from a startup folder, then the folders up to `top`
// that are left empty.
void RemoveTemplate(const std::string& top, const std::string& folder) {
    const std::string file = folder + "\\" + kTemplate;
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(file.c_str());
    for (std::string f = folder; f.size() > top.size(); f.resize(f.rfind('\\')))
        if (!RemoveDirectoryA(f.c_str())) break;
}

// The installing user's Word startup folder, expanded.
std::string WordStartupFolder() {
    char expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsA(kWordStartup, expanded, sizeof expanded);
    return length > 0 && length <= sizeof expanded ? std::string(expanded) : std::string();
}

// One line per file below `folder`, subfolders included.
void PrintFiles(const std::string& folder) {
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> subfolders;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            subfolders.push_back(folder + "\\" + name);
        } else {
            std::printf("file  %s\\%s%s\n", folder.c_str(), name.c_str(),
                        (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? " (read-only)" : "");
        }
    } while (FindNextFileA(search, &data));
    FindClose(search);
    std::sort(subfolders.begin(), subfolders.end());
    for (const std::string& sub : subfolders) PrintFiles(sub);
}

// --- access lists ---------------------------------------------------------

const char* MaskName(DWORD mask, bool isKey) {
    if (!isKey) return mask == 0x1201BF ? " (read, write, execute)" : "";
    if (mask == KEY_READ) return " (read)";
    if (mask == 0x3001F) return " (read and write)";
    if (mask == KEY_ALL_ACCESS) return " (full control)";
    return "";
}

// The entries of the Users group in a DACL, in the style of SDDL.
void PrintUsersEntries(const std::string& object, PACL dacl, bool isKey) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID users = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users);
    int shown = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if (!EqualSid(&ace->SidStart, users)) continue;
        std::string flags;
        if (header->AceFlags & OBJECT_INHERIT_ACE) flags += "OI";
        if (header->AceFlags & CONTAINER_INHERIT_ACE) flags += "CI";
        if (header->AceFlags & INHERITED_ACE) flags += "ID";
        std::printf("access %s : Users entry (%s;%s;0x%lX;;;BU)%s\n", object.c_str(),
                    header->AceType == ACCESS_ALLOWED_ACE_TYPE ? "A" : "D", flags.c_str(),
                    static_cast<unsigned long>(ace->Mask), MaskName(ace->Mask, isKey));
        ++shown;
    }
    if (dacl == nullptr) std::printf("access %s : no access list (everyone has full access)\n", object.c_str());
    else if (shown == 0) std::printf("access %s : no Users entry\n", object.c_str());
    FreeSid(users);
}

void PrintKeyAccess(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) == ERROR_SUCCESS)
        PrintUsersEntries(std::string("HKLM\\") + path, dacl, true);
    LocalFree(descriptor);
    RegCloseKey(key);
}

void PrintFolderAccess(const char* path) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) == ERROR_SUCCESS)
        PrintUsersEntries(path, dacl, false);
    LocalFree(descriptor);
}

// Administrators and the system in full, the Users group reading: the key as
// the earlier version's installation left it.
void RestrictKey(const char* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;BU)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        Fail("build the access list", GetLastError());
        return;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key);
    if (result == ERROR_SUCCESS) {
        result = static_cast<LONG>(
            SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr));
        RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) Fail(std::string("set the access list of ") + path, result);
    LocalFree(descriptor);
}

// --- the commands ---------------------------------------------------------

// A user's data as the earlier version left it.
void WriteUserData(HKEY root, const std::string& appData, const char* lastProject) {
    SetText(root, std::string(kUserKey) + "\\App\\Settings", "LastProject", lastProject);
    SetNumber(root, std::string(kUserKey) + "\\App\\Settings\\Window", "Maximized", 1);
    const std::string folder = appData + "\\" + kUserAppFolder + "\\App";
    CreateFolders(folder);
    WriteTextFile(folder + "\\session.log", "session\r\n");
    WriteTextFile(folder + "\\recorder.log", "recorder\r\n");
}

void Cleanup();

int Prepare(const char* optionsSource) {
    Cleanup();  // leftovers of an interrupted run

    // The earlier version: its record, with the folder it was installed to.
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "CommonReg", 1);
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "CommonSet", 0);
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "SetAccess", 1);
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "MajorVer", 4);
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "MinorVer", 12);
    SetNumber(HKEY_LOCAL_MACHINE, kProductKey, "NumbBuild", 377);
    SetText(HKEY_LOCAL_MACHINE, kProductKey, "InstallDir", "C:\\Program Files\\CustActionDemo\\");

    // The key and the folder the Users group is to get access to.
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, kSharedKey));
    RestrictKey(kSharedKey);
    CreateFolders(kDataFolder);

    // The options file exported by the application.
    CreateFolders(std::string(kDemoRoot) + "\\Setup");
    if (!CopyFileA(optionsSource, kOptionsFile, FALSE)) Fail(std::string("copy ") + optionsSource, GetLastError());

    // Word 11, with a startup folder of the installing user's own.
    SetText(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", nullptr, "Word.Application.11");
    CreateFolders(WordStartupFolder());
    SetText(HKEY_CURRENT_USER, kWordOptions, "STARTUP-PATH", kWordStartup, REG_EXPAND_SZ);

    // The installing user's data.
    WriteUserData(HKEY_CURRENT_USER, InstallingUserAppData(), "C:\\Recordings\\root.rec");

    // A second user who is not logged on: a hive file in the profile folder.
    const std::string otherAppData = std::string(kOtherFolder) + "\\AppData\\Roaming";
    const std::string staging = std::string(kStaging) + "\\" + kOtherUser;
    const HKEY hive = CreateKey(HKEY_LOCAL_MACHINE, staging);
    if (hive != nullptr) {
        WriteUserData(hive, otherAppData, "C:\\Recordings\\demo-user.rec");
        SetText(hive, kUserShellFolders, "AppData", "%USERPROFILE%\\AppData\\Roaming", REG_EXPAND_SZ);
        SetText(hive, kShellFolders, "AppData", otherAppData);
        WriteTextFile(otherAppData + "\\" + kUserAppFolder + "\\App\\notes.txt", "kept\r\n");
        const std::string hiveFile = std::string(kOtherFolder) + "\\ntuser.dat";
        WithHivePrivileges([&] {
            const LONG saved = RegSaveKeyA(hive, hiveFile.c_str(), nullptr);
            if (saved != ERROR_SUCCESS) Fail("save " + hiveFile, saved);
        });
        RegCloseKey(hive);
    }
    DeleteTree(HKEY_LOCAL_MACHINE, kStaging);
    SetText(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + kOtherUser, "ProfileImagePath", kOtherFolder,
            REG_EXPAND_SZ);

    // The profile of a deleted account: its folder is gone.
    SetText(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + kStaleUser, "ProfileImagePath", kStaleFolder,
            REG_EXPAND_SZ);
    return g_ok ? 0 : 2;
}

void PrintUser(const char* label, HKEY root, const std::string& keyPrefix, const std::string& appData,
               const std::string& shown) {
    std::printf("user  %s : %s\n", label, shown.c_str());
    PrintTree(root, keyPrefix + kUserKey, shown + "\\" + kUserKey);
    if (appData.empty()) return;
    PrintFiles(appData + "\\" + kUserAppFolder);
    PrintFiles(appData + "\\Microsoft\\Word\\STARTUP");
}

int State() {
    PrintTree(HKEY_LOCAL_MACHINE, kProductKey, std::string("HKLM\\") + kProductKey);
    PrintKeyAccess(kSharedKey);
    PrintFiles(kDemoRoot);
    if (const std::string startup = WordStartupFolder(); !startup.empty()) PrintFiles(startup);
    PrintFolderAccess(kDataFolder);
    PrintTree(HKEY_CLASSES_ROOT, "Word.Application", "HKCR\\Word.Application");
    PrintTree(HKEY_CURRENT_USER, kWordOptions, std::string("HKCU\\") + kWordOptions);

    PrintUser("installing user", HKEY_CURRENT_USER, "", InstallingUserAppData(), "HKCU");

    // The second user's hive, loaded for the look when nobody has it loaded.
    const std::string otherAppData = std::string(kOtherFolder) + "\\AppData\\Roaming";
    const std::string hiveFile = std::string(kOtherFolder) + "\\ntuser.dat";
    // Nobody has it loaded between the steps: a walk unloads what it loads.
    const bool loadedBefore = IsLoaded(kOtherUser);
    if (loadedBefore) std::printf("hive  HKU\\%s : loaded\n", kOtherUser);
    bool loadedHere = false;
    if (!loadedBefore && GetFileAttributesA(hiveFile.c_str()) != INVALID_FILE_ATTRIBUTES)
        WithHivePrivileges([&] { loadedHere = RegLoadKeyA(HKEY_USERS, kOtherUser, hiveFile.c_str()) == ERROR_SUCCESS; });
    PrintUser("demo-user (not logged on)", HKEY_USERS, std::string(kOtherUser) + "\\", otherAppData,
              std::string("HKU\\") + kOtherUser);
    if (loadedHere) WithHivePrivileges([&] { RegUnLoadKeyA(HKEY_USERS, kOtherUser); });
    if (GetFileAttributesA(hiveFile.c_str()) != INVALID_FILE_ATTRIBUTES) std::printf("file  %s\n", hiveFile.c_str());

    std::printf("user  gone-user (deleted account) : profile %s, folder %s %s\n", kStaleUser, kStaleFolder,
                GetFileAttributesA(kStaleFolder) == INVALID_FILE_ATTRIBUTES ? "missing" : "present");
    return 0;
}

int Hold(const char* eventName, int count, char** items) {
    const HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, eventName);
    if (quit == nullptr) return 2;
    std::vector<HWND> windows;
    std::vector<HANDLE> mutexes;
    for (int i = 0; i < count; ++i) {
        const std::string item = items[i];
        if (item.rfind("window:", 0) == 0) {
            const std::string windowClass = item.substr(7);
            WNDCLASSA wc = {};
            wc.lpfnWndProc = DefWindowProcA;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = windowClass.c_str();
            if (!RegisterClassA(&wc)) return 2;
            const HWND window = CreateWindowExA(0, windowClass.c_str(), "CustActionDemo", WS_OVERLAPPEDWINDOW, 0, 0,
                                                200, 100, nullptr, nullptr, wc.hInstance, nullptr);
            if (window == nullptr) return 2;
            windows.push_back(window);
        } else if (item.rfind("mutex:", 0) == 0) {
            const HANDLE mutex = CreateMutexA(nullptr, TRUE, item.substr(6).c_str());
            if (mutex == nullptr) return 2;
            mutexes.push_back(mutex);
        } else {
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &quit, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1) break;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    for (HWND window : windows) DestroyWindow(window);
    for (HANDLE mutex : mutexes) CloseHandle(mutex);
    CloseHandle(quit);
    return 0;
}

int Release(const char* eventName) {
    const HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (quit == nullptr) return 2;
    SetEvent(quit);
    CloseHandle(quit);
    return 0;
}

void Cleanup() {
    for (const char* sid : {kOtherUser, kStaleUser}) {
        if (IsLoaded(sid)) WithHivePrivileges([&] { RegUnLoadKeyA(HKEY_USERS, sid); });
        DeleteTree(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + sid);
    }
    DeleteTree(HKEY_LOCAL_MACHINE, kStaging);
    DeleteTree(HKEY_LOCAL_MACHINE, kProductKey);
    DeleteTree(HKEY_CLASSES_ROOT, "Word.Application");
    DeleteTree(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\11.0\\Word");
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\11.0");  // only when empty
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Office");
    DeleteTree(HKEY_CURRENT_USER, kUserKey);

    const std::string appData = InstallingUserAppData();
    if (!appData.empty()) {
        ca::test::RemoveFolderTree(appData + "\\" + kUserAppFolder);
        RemoveTemplate(appData, appData + "\\Microsoft\\Word\\STARTUP");
    }
    ca::test::RemoveFolderTree(kDemoRoot);
    if (const std::string startup = WordStartupFolder(); !startup.empty()) ca::test::RemoveFolderTree(startup);
    ca::test::RemoveFolderTree(kOtherFolder);
    ca::test::RemoveFolderTree(kStaleFolder);
}

// The access list of HKLM\<key> as SDDL, protection included (the rollback
// harness's snapshot); "absent" when the key is not there.
int PrintKeySddl(const char* key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, READ_CONTROL, &handle) != ERROR_SUCCESS) {
        std::printf("absent\n");
        return 0;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    const DWORD read = GetSecurityInfo(handle, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                       nullptr, &descriptor);
    RegCloseKey(handle);
    if (read != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return 1;
    std::printf("%s\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
}

// Gives HKLM\<key> (made when missing) the access list of an SDDL text.
int SetKeyAccess(const char* key, const char* sddl) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, READ_CONTROL | WRITE_DAC, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        return 1;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    DWORD result = 1;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr) &&
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
        GetSecurityDescriptorControl(descriptor, &control, &revision))
        result = SetSecurityInfo(handle, SE_REGISTRY_KEY,
                                 DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                  ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                 nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "prepare" && argc == 3) return Prepare(argv[2]);
    if (command == "state" && argc == 2) return State();
    if (command == "key-access" && argc == 3) return PrintKeySddl(argv[2]);
    if (command == "set-key-access" && argc == 4) return SetKeyAccess(argv[2], argv[3]);
    if (command == "hold" && argc > 3) return Hold(argv[2], argc - 3, argv + 3);
    if (command == "release" && argc == 3) return Release(argv[2]);
    if (command == "cleanup" && argc == 2) {
        Cleanup();
        return 0;
    }
    std::fprintf(stderr,
                 "usage: demo_prepare prepare OPTIONS_FILE | state | hold EVENT ITEM... | release EVENT | cleanup\n");
    return 1;
}
