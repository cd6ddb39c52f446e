// Test support: user profiles of the test prefix, made for one test. Each is
// an entry of the machine's profile list with a profile folder that holds a
// hive file written by RegSaveKeyA; a "logged-on" profile has its hive loaded
// below HKEY_USERS by the fixture, as the system does for a logged-on user.
// The fixture removes everything it made, so the prefix is left as it was.
#pragma once

#include "folders.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace ca::test {

inline constexpr char kNtProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
inline constexpr char k9xProfileList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ProfileList";

// What a test user's hive holds: fills the hive's root key.
using HiveContent = std::function<void(HKEY root)>;

struct ProfileOptions {
    bool loggedOn = false;        // the hive is loaded before the test
    bool createFolder = true;     // false: the profile folder does not exist
    bool writeHive = true;        // false: the folder holds no hive file
    bool withImagePath = true;    // false: the entry has no "ProfileImagePath"
    std::string imagePath = {};   // "ProfileImagePath" as stored (REG_EXPAND_SZ); empty: the folder
    std::string hiveFileName = "ntuser.dat";
};

struct TestProfile {
    std::string keyName;   // the profile list's subkey, a SID string
    std::string folder;    // the profile folder, expanded
    std::string hiveFile;  // folder + "\" + hive file name
    bool loggedOn = false;
};

class ProfileFixture {
public:
    // `list`: the profile list below HKEY_LOCAL_MACHINE the entries go to.
    explicit ProfileFixture(const char* list = kNtProfileList);
    ~ProfileFixture();
    ProfileFixture(const ProfileFixture&) = delete;
    ProfileFixture& operator=(const ProfileFixture&) = delete;

    // The reference stays valid for the fixture's life.
    const TestProfile& Add(const HiveContent& content = {}, const ProfileOptions& options = {});
    const std::deque<TestProfile>& Profiles() const { return profiles_; }
    // The profile folder the next Add without an image path makes, for
    // values that name a folder inside it.
    std::string NextFolder() const;

    // Makes the probe of a profile that is not logged on fail with access
    // denied: a key of its name below HKEY_USERS that nobody may open.
    void BlockProbe(const TestProfile& profile);

private:
    void RemoveLeftovers();
    std::string list_;
    bool createdList_ = false;
    std::deque<TestProfile> profiles_;
};

// Runs `f` with the backup and restore privileges on, switched off again
// afterwards. Goes around the module's platform table.
void WithHivePrivileges(const std::function<void()>& f);

// The folder below which the fixture makes profile folders; removed with them.
std::string ProfilesRoot();

// The string form of the SID of the user running the test.
std::string CurrentUserKeyName();

// Registry helpers; paths are below `root`, keys created as needed.
void SetRegValue(HKEY root, const std::string& path, const std::string& name,
                 const std::string& value, DWORD type = REG_SZ);
void CreateRegKey(HKEY root, const std::string& path);
bool RegKeyExists(HKEY root, const std::string& path);
// Every key below root\path (relative paths, sorted); empty when none or missing.
std::vector<std::string> RegSubtree(HKEY root, const std::string& path);
// root\path and every key below it, each followed by its values as
// "<key>|<name>=<type>:<data>" (key paths relative, "" for root\path);
// empty when missing.
std::vector<std::string> RegDump(HKEY root, const std::string& path);
// RegDump of `path` below the user's root: where the hive is loaded, or
// from its file, loaded for the look.
std::vector<std::string> UserRegDump(const TestProfile& profile, const std::string& path);
void DeleteRegTree(HKEY root, const std::string& path);
// Makes root\path a volatile link key to `target`, a path of the system's
// registry such as L"\\Registry\\Machine\\Software\\X".
void CreateRegLink(HKEY root, const std::string& path, const std::wstring& target);

// File helpers.
void WriteTestFile(const std::string& path, const std::string& content = "x", DWORD attributes = 0);
bool PathExists(const std::string& path);
// The files of a folder, sorted, each "<name>=<first 64 bytes>" and " ro"
// when read-only; {"-"} when the folder is missing.
std::vector<std::string> FolderFiles(const std::string& folder);

// Runs msiexec.exe with the arguments in this prefix and waits for it; its
// exit code.
DWORD RunMsiexec(const std::string& arguments);

// While in scope, runs `observe` (with the root and subkey name) just before
// each hive unload the module makes, then unloads through the accounting: a
// test sees a loaded hive as the action left it (the test platform writes
// nothing back to the file).
class BeforeUnload {
public:
    explicit BeforeUnload(std::function<void(const std::string& keyName)> observe);
    ~BeforeUnload();
    BeforeUnload(const BeforeUnload&) = delete;
    BeforeUnload& operator=(const BeforeUnload&) = delete;

private:
    void* saved_;
};

}  // namespace ca::test
