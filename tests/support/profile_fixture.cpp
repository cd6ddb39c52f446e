#include "profile_fixture.h"

#include "accounting.h"
#include "runtime/platform.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

namespace ca::test {

namespace {

// Test profiles share this prefix, so leftovers of an aborted run are found.
constexpr char kKeyNamePrefix[] = "S-1-5-21-1111-2222-3333-";
constexpr char kStagingKey[] = "Software\\CustActionTestStaging";

std::string Expand(const std::string& text) {
    char out[2048] = {};
    ExpandEnvironmentStringsA(text.c_str(), out, sizeof out);
    return out;
}

void SetPrivilege(const char* name, bool on) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &change.Privileges[0].Luid);
    change.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
    CloseHandle(token);
}

// Frees HKEY_USERS\name: unloads a hive, or removes a key made by BlockProbe.
void ReleaseUserRoot(const std::string& name) {
    LONG unloaded = ERROR_SUCCESS;
    WithHivePrivileges([&] { unloaded = RegUnLoadKeyA(HKEY_USERS, name.c_str()); });
    if (unloaded == ERROR_SUCCESS) return;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, name.c_str(), 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
        SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        DeleteRegTree(HKEY_USERS, name);
    }
}

std::function<void(const std::string&)> g_observe;

LSTATUS WINAPI ObservingUnload(HKEY root, LPCSTR name) {
    if (g_observe) g_observe(name ? name : "");
    return Tracked().RegUnLoadKeyA(root, name);
}

void CollectSubtree(HKEY key, const std::string& prefix, std::vector<std::string>& out) {
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string path = prefix.empty() ? name : prefix + "\\" + name;
        out.push_back(path);
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            CollectSubtree(sub, path, out);
            RegCloseKey(sub);
        }
    }
}

}  // namespace

std::string ProfilesRoot() {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "ca-profiles";
}

void WithHivePrivileges(const std::function<void()>& f) {
    SetPrivilege(SE_BACKUP_NAME, true);
    SetPrivilege(SE_RESTORE_NAME, true);
    f();
    SetPrivilege(SE_RESTORE_NAME, false);
    SetPrivilege(SE_BACKUP_NAME, false);
}

std::string CurrentUserKeyName() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    char buffer[256] = {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    char* text = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::string name = text ? text : "";
    LocalFree(text);
    return name;
}

ProfileFixture::ProfileFixture(const char* list) : list_(list) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, list, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
    } else {
        CreateRegKey(HKEY_LOCAL_MACHINE, list);
        createdList_ = true;
    }
    RemoveLeftovers();
}

ProfileFixture::~ProfileFixture() {
    RemoveLeftovers();
    if (createdList_) DeleteRegTree(HKEY_LOCAL_MACHINE, list_);
}

void ProfileFixture::RemoveLeftovers() {
    std::vector<std::string> names;
    HKEY list = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, list_.c_str(), 0, KEY_READ, &list) == ERROR_SUCCESS) {
        char name[260];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name;
            if (RegEnumKeyExA(list, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (std::string(name).rfind(kKeyNamePrefix, 0) == 0) names.push_back(name);
        }
        RegCloseKey(list);
    }
    for (const TestProfile& p : profiles_)
        if (std::find(names.begin(), names.end(), p.keyName) == names.end()) names.push_back(p.keyName);
    for (const std::string& name : names) {
        ReleaseUserRoot(name);
        DeleteRegTree(HKEY_LOCAL_MACHINE, list_ + "\\" + name);
    }
    DeleteRegTree(HKEY_LOCAL_MACHINE, kStagingKey);
    RemoveFolderTree(ProfilesRoot());
    profiles_.clear();
}

const TestProfile& ProfileFixture::Add(const HiveContent& content, const ProfileOptions& options) {
    TestProfile profile;
    profile.keyName = kKeyNamePrefix + std::to_string(1001 + profiles_.size());
    const std::string imagePath =
        options.imagePath.empty() ? ProfilesRoot() + "\\" + profile.keyName : options.imagePath;
    profile.folder = Expand(imagePath);
    profile.hiveFile = profile.folder + "\\" + options.hiveFileName;
    profile.loggedOn = options.loggedOn;
    if (options.createFolder) CreateFolders(profile.folder);

    if (options.writeHive) {
        const std::string staging = std::string(kStagingKey) + "\\" + profile.keyName;
        CreateRegKey(HKEY_LOCAL_MACHINE, staging);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, staging.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        if (content) content(key);
        DeleteFileA(profile.hiveFile.c_str());
        WithHivePrivileges([&] { EXPECT_EQ(RegSaveKeyA(key, profile.hiveFile.c_str(), nullptr), ERROR_SUCCESS); });
        RegCloseKey(key);
        DeleteRegTree(HKEY_LOCAL_MACHINE, staging);
    }
    if (options.loggedOn) {
        WithHivePrivileges([&] {
            EXPECT_EQ(RegLoadKeyA(HKEY_USERS, profile.keyName.c_str(), profile.hiveFile.c_str()), ERROR_SUCCESS);
        });
    }

    const std::string entry = list_ + "\\" + profile.keyName;
    CreateRegKey(HKEY_LOCAL_MACHINE, entry);
    if (options.withImagePath) SetRegValue(HKEY_LOCAL_MACHINE, entry, "ProfileImagePath", imagePath, REG_EXPAND_SZ);
    profiles_.push_back(profile);
    return profiles_.back();
}

std::string ProfileFixture::NextFolder() const {
    return ProfilesRoot() + "\\" + kKeyNamePrefix + std::to_string(1001 + profiles_.size());
}

void ProfileFixture::BlockProbe(const TestProfile& profile) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, profile.keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    EXPECT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    RegCloseKey(key);
}

void SetRegValue(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                 DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void CreateRegKey(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(key);
}

bool RegKeyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::vector<std::string> RegSubtree(HKEY root, const std::string& path) {
    std::vector<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    CollectSubtree(key, "", out);
    RegCloseKey(key);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> RegDump(HKEY root, const std::string& path) {
    std::vector<std::string> keys = RegSubtree(root, path), out;
    if (!RegKeyExists(root, path)) return out;
    keys.insert(keys.begin(), "");
    std::vector<BYTE> data(16384);
    for (const std::string& shown : keys) {
        out.push_back(shown.empty() ? shown : "\\" + shown);
        HKEY key = nullptr;
        RegOpenKeyExA(root, (shown.empty() ? path : path + "\\" + shown).c_str(), 0, KEY_READ, &key);
        char name[512];
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = sizeof name, dataLength = static_cast<DWORD>(data.size()), type = 0;
            if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data.data(), &dataLength) != ERROR_SUCCESS) break;
            out.push_back(out.back().substr(0, out.back().find('|')) + "|" + name + "=" + std::to_string(type) + ":" +
                          std::string(reinterpret_cast<char*>(data.data()), dataLength));
        }
        RegCloseKey(key);
    }
    return out;
}

std::vector<std::string> UserRegDump(const TestProfile& profile, const std::string& path) {
    const std::string key = profile.keyName + "\\" + path;
    if (RegKeyExists(HKEY_USERS, profile.keyName)) return RegDump(HKEY_USERS, key);
    std::vector<std::string> out;
    WithHivePrivileges([&] {
        EXPECT_EQ(RegLoadKeyA(HKEY_USERS, profile.keyName.c_str(), profile.hiveFile.c_str()), ERROR_SUCCESS);
        out = RegDump(HKEY_USERS, key);
        RegUnLoadKeyA(HKEY_USERS, profile.keyName.c_str());
    });
    return out;
}

std::vector<std::string> FolderFiles(const std::string& folder) {
    if (!PathExists(folder)) return {"-"};
    std::vector<std::string> out;
    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return out;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        std::string text(64, '\0');
        HANDLE file = CreateFileA((folder + "\\" + data.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
        CloseHandle(file);
        out.push_back(data.cFileName + ("=" + text.substr(0, read)) +
                      ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? " ro" : ""));
    } while (FindNextFileA(search, &data));
    FindClose(search);
    std::sort(out.begin(), out.end());
    return out;
}

void DeleteRegTree(HKEY root, const std::string& path) {
    RegDeleteTreeA(root, path.c_str());
    RegDeleteKeyA(root, path.c_str());
}

void CreateRegLink(HKEY root, const std::string& path, const std::wstring& target) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    EXPECT_EQ(RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                             static_cast<DWORD>(target.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void WriteTestFile(const std::string& path, const std::string& content, DWORD attributes) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    if (attributes != 0) SetFileAttributesA(path.c_str(), attributes);
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD RunMsiexec(const std::string& arguments) {
    std::string command = "msiexec.exe " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

BeforeUnload::BeforeUnload(std::function<void(const std::string&)> observe)
    : saved_(reinterpret_cast<void*>(Os().RegUnLoadKeyA)) {
    g_observe = std::move(observe);
    Os().RegUnLoadKeyA = &ObservingUnload;
}

BeforeUnload::~BeforeUnload() {
    Os().RegUnLoadKeyA = reinterpret_cast<decltype(&::RegUnLoadKeyA)>(saved_);
    g_observe = nullptr;
}

}  // namespace ca::test
