#include "actions/users/profile_walk.h"

#include "actions/users/folder.h"
#include "runtime/action_scope.h"
#include "runtime/file_facts.h"
#include "runtime/handles.h"
#include "runtime/text.h"

namespace ca {

const WalkErrorPoints kRemovalWalkPoints = {
    "FX3DY62ICHNGM52", "KYSG5S1OPBM7Y3J", "G7A5T4XGSWDW46M", "60J0AIZQ4U4LIGN", "QH4RZ7WN2KEV8PA",
    "WSKWS410FSVB4QO", "JNNNQTTL8FXBWW3", "JX5DBN8X31CPZLS", "2FSPZ9J18GHISCZ", "8TWBI2KBMJFMWTH",
};

// The Word walk has no point of its own for the platform: it shares the
// removal walk's.
const WalkErrorPoints kWordWalkPoints = {
    "FX3DY62ICHNGM52", "US6Y7XU8DEB6GH3", "6WICAXYHFH68MWT", "6E3AHRW5TAMMTGJ", "C9TJ5MUXB3LF6YD",
    "DXNTRDPLIHYXA3M", "6S6WD9D7TCZRNVU", "F2WWLNCCZIWG93J", "3IXPD80WWC6DUCF", "UR7UDVL6SM8FMSG",
};

namespace {

constexpr DWORD kNameBufferSize = 260;
constexpr DWORD kFolderBufferSize = 1024;
constexpr char kRestorePrivilege[] = "SeRestorePrivilege";
// Another process may hold a key of a hive for a moment.
constexpr int kUnloadAttempts = 5;
constexpr DWORD kUnloadPauseMs = 200;
// Names tried for the entry that keeps a profile folder from being emptied.
constexpr int kGuardAttempts = 3;

// Where a platform keeps its profiles.
struct ProfilePlatform {
    const char* profileList;  // below HKEY_LOCAL_MACHINE
    const char* hiveFile;     // in the profile folder
    bool needsRestorePrivilege;
};

constexpr ProfilePlatform kNtFamily = {
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\", "ntuser.dat", true};
constexpr ProfilePlatform kWindows9x = {
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ProfileList\\", "user.dat", false};

// The steps of one privilege change; the failing step's point and its last
// error, or no point.
struct PrivilegeChange {
    const char* failedPoint = nullptr;
    DWORD lastError = 0;
};

PrivilegeChange ChangeProcessPrivilege(const char* name, bool enable) {
    UniqueHandle token;
    if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               token.Receive()))
        return {"T74AWPRVFYKNE9Z", Os().GetLastError()};
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    if (!Os().LookupPrivilegeValueA(nullptr, name, &change.Privileges[0].Luid))
        return {"PWLK78PIUC3TIKG", Os().GetLastError()};
    change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!Os().AdjustTokenPrivileges(token.Get(), FALSE, &change, 0, nullptr, nullptr))
        return {"5RKQ50FAIAZAROR", Os().GetLastError()};
    return {};
}

class ProfileWalk {
public:
    ProfileWalk(const ProfileCallback& callback, const WalkErrorPoints& points,
                ActionError& error, EnabledPrivilege& restore)
        : callback_(callback), points_(points), error_(error), restore_(restore) {}

    bool Run() {
        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
        if (!Os().GetVersionExA(&version)) {
            error_.RecordError(points_.version, static_cast<int32_t>(Os().GetLastError()));
            return false;
        }
        if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            platform_ = &kNtFamily;
        } else if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            platform_ = &kWindows9x;
        } else {
            error_.RecordError(points_.version, ERROR_INVALID_DATA, nullptr,
                               StringPrintf("(%d)", static_cast<int>(version.dwPlatformId)));
            return false;
        }

        const LONG opened = Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, platform_->profileList, 0,
                                               KEY_READ, profileList_.Receive());
        if (opened != ERROR_SUCCESS) {
            error_.RecordError(points_.profileList, opened, nullptr,
                               StringPrintf("(%s)(%d)", platform_->profileList,
                                            static_cast<int>(version.dwPlatformId)));
            return false;
        }

        // Any answer but a name ends the list, the end of the list or not.
        for (DWORD index = 0;; ++index) {
            char name[kNameBufferSize] = {};
            DWORD length = kNameBufferSize;
            if (Os().RegEnumKeyExA(profileList_.Get(), index, name, &length, nullptr, nullptr,
                                   nullptr, nullptr) != ERROR_SUCCESS)
                break;
            Visit(std::string(name, length));
        }
        return true;
    }

private:
    // The visit of one profile. Its failures are recorded; the walk goes on.
    void Visit(const std::string& keyName) {
        // The progress dialog names the profile being processed.
        SendActionData(keyName);
        bool mustLoad = false;
        {
            UniqueKey probe;
            const LONG probed = Os().RegOpenKeyExA(HKEY_USERS, keyName.c_str(), 0,
                                                   KEY_QUERY_VALUE, probe.Receive());
            if (probed == ERROR_FILE_NOT_FOUND) {
                mustLoad = true;
            } else if (probed != ERROR_SUCCESS) {
                error_.RecordError(points_.probe, probed, nullptr, StringPrintf("(%s)", keyName.c_str()));
                return;
            }
        }

        UserProfile profile;
        profile.keyName = keyName;
        if (!ReadProfileFolder(profileList_.Get(), keyName, profile.profileFolder, error_)) {
            error_.PrependPoint(points_.profileFolder);
            return;
        }

        // The folder stays where it is proven while the user is served: what
        // is loaded from it and what is changed in it is that user's.
        UniqueFile folderPin;
        const DWORD folderPlaced = OpenInPlace(profile.profileFolder, 0, OPEN_EXISTING, ObjectKind::Folder,
                                               folderPin, &profile.profileFinal);
        if (folderPlaced != ERROR_SUCCESS) {
            if (folderPlaced != ERROR_FILE_NOT_FOUND && folderPlaced != ERROR_PATH_NOT_FOUND)
                return RefusePlace(folderPlaced, keyName, profile.profileFolder, profile.profileFinal);
            profile.profileFinal.clear();  // gone: its hive fails to load below
        }

        LoadedHive hive;  // unloaded on every path, also when the callback throws
        if (mustLoad) {
            if (platform_->needsRestorePrivilege && !restore_.Enabled() && !restore_.Enable(error_)) {
                error_.PrependPoint(points_.privilege);
                return;  // the next profile that needs its hive tries again
            }
            const std::string hiveFile = profile.profileFolder + "\\" + platform_->hiveFile;
            // Loading a missing file would create it: that user would then
            // log on to an empty registry. A file that is not the profile's
            // own (a link, a second name of a file elsewhere) is not loaded.
            UniqueFile proven;
            std::string hiveFinal;
            const DWORD hivePlaced = OpenInPlace(hiveFile, 0, OPEN_EXISTING, ObjectKind::File, proven, &hiveFinal);
            if (hivePlaced != ERROR_SUCCESS && hivePlaced != ERROR_FILE_NOT_FOUND && hivePlaced != ERROR_PATH_NOT_FOUND)
                return RefusePlace(hivePlaced, keyName, hiveFile, hiveFinal);
            // While the hive is loaded by its name, the profile folder must
            // stay the proven one: held, it cannot be renamed, and a folder
            // must be empty to become a mount point, which an entry of ours
            // that nobody else may open keeps it from being. The entry goes
            // when its handle closes, however the process ends.
            GuardEntry guard;
            if (hivePlaced == ERROR_SUCCESS) {
                std::string guardName;
                if (const DWORD guarded = CreateGuard(folderPin.Get(), guard.file, guardName); guarded != ERROR_SUCCESS)
                    return RefusePlace(guarded, keyName, profile.profileFolder + "\\" + guardName, std::string());
            }
            const LONG loaded = hivePlaced != ERROR_SUCCESS ? static_cast<LONG>(hivePlaced)
                                                            : hive.Load(HKEY_USERS, keyName, hiveFile);
            if (loaded != ERROR_SUCCESS) {
                error_.RecordError(points_.load, loaded, nullptr,
                                   StringPrintf("(%s)(%s)", keyName.c_str(), hiveFile.c_str()));
                return;
            }
            // The name may have been given to another file between the proof
            // and the load: the loaded file must be the proven one, still
            // with a single name.
            if (const DWORD same = SameSingleFile(proven.Get(), hiveFile); same != ERROR_SUCCESS)
                return RefusePlace(same, keyName, hiveFile, hiveFinal);  // the hive goes with `hive`
            profile.hiveLoadedByWalk = true;
        }

        callback_(profile, error_);

        if (hive.Loaded()) {
            const LONG unloaded = hive.Unload();
            if (unloaded != ERROR_SUCCESS)
                error_.RecordError(points_.unload, unloaded, nullptr, StringPrintf("(%s)", keyName.c_str()));
        }
    }

    // Passes the profile over: its folder or hive file is not the user's own.
    void RefusePlace(DWORD answer, const std::string& keyName, const std::string& path, const std::string& final) {
        error_.RecordError(points_.place, static_cast<int32_t>(answer), nullptr,
                           StringPrintf("(%s)(%s)(%s)", keyName.c_str(), path.c_str(), final.c_str()));
    }

    // ERROR_SUCCESS when `path` still names the very file `held` is open on
    // (the same number: the name is one in the held folder, on its volume)
    // and that file has a single name; else what differs.
    static DWORD SameSingleFile(HANDLE held, const std::string& path) {
        UniqueFile again(Os().CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!again) return Os().GetLastError();
        FileFacts facts;
        uint64_t before = 0, after = 0;
        if (!ReadFileFacts(held, facts) || !ReadFileIndex(held, before) || !ReadFileIndex(again.Get(), after))
            return Os().GetLastError();
        return before != after || facts.links != 1 ? kSeveralNames : ERROR_SUCCESS;
    }

    // The entry, deleted through its handle when it goes (and by the system
    // when the handle closes, however the process ends).
    struct GuardEntry {
        UniqueFile file;
        ~GuardEntry() {
            if (file) DeleteByHandle(file.Get());
        }
    };

    // A new, hidden file in the held folder, opened by nobody else and
    // deleted when `guard` closes; ERROR_SUCCESS or why it could not be made.
    static DWORD CreateGuard(HANDLE folder, UniqueFile& guard, std::string& name) {
        DWORD answer = ERROR_SUCCESS;
        for (int attempt = 0; attempt < kGuardAttempts; ++attempt) {
            name = StringPrintf("~CustAction-%08lX.tmp", static_cast<unsigned long>(Os().GetTickCount() + attempt));
            const std::wstring wide(name.begin(), name.end());
            UNICODE_STRING objectName{};
            objectName.Length = objectName.MaximumLength = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
            objectName.Buffer = const_cast<wchar_t*>(wide.data());
            OBJECT_ATTRIBUTES attributes{};
            attributes.Length = sizeof attributes;
            attributes.RootDirectory = folder;
            attributes.ObjectName = &objectName;
            IO_STATUS_BLOCK status{};
            HANDLE raw = INVALID_HANDLE_VALUE;
            const NTSTATUS made = Os().NtCreateFile(
                &raw, DELETE | SYNCHRONIZE, &attributes, &status, nullptr,
                FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, 0, FILE_CREATE,
                FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                nullptr, 0);
            if (made >= 0) {
                guard.Reset(raw);
                return ERROR_SUCCESS;
            }
            answer = Os().RtlNtStatusToDosError(made);
            if (answer != ERROR_FILE_EXISTS && answer != ERROR_ALREADY_EXISTS) break;  // a name taken: the next
        }
        return answer;
    }

    const ProfileCallback& callback_;
    const WalkErrorPoints& points_;
    ActionError& error_;
    EnabledPrivilege& restore_;
    const ProfilePlatform* platform_ = nullptr;
    UniqueKey profileList_;
};

}  // namespace

bool WalkUserProfiles(const ProfileCallback& callback, const WalkErrorPoints& points,
                      ActionError& error) {
    EnabledPrivilege restore(kRestorePrivilege);  // outlives the body and its exceptions
    bool walked = false;
    const BodyOutcome outcome = RunActionBody(error, points.catchAll, [&] {
        walked = ProfileWalk(callback, points, error, restore).Run();
    });
    if (restore.Enabled() && !restore.Disable(error)) {
        error.PrependPoint(points.privilegeOff);
        ThrowFailure();
    }
    return outcome == BodyOutcome::Completed && walked;
}

bool ReadProfileFolder(HKEY profileList, const std::string& keyName, std::string& folder,
                       ActionError& error) {
    UniqueKey key;
    const LONG opened = Os().RegOpenKeyExA(profileList, keyName.c_str(), 0, KEY_READ, key.Receive());
    if (opened != ERROR_SUCCESS) {
        error.RecordError("DZZFYBHBV6WP9FB", opened);
        return false;
    }
    // One byte more than the value may fill: a value stored without its
    // terminator still ends in the buffer.
    char value[kFolderBufferSize + 1] = {};
    DWORD size = kFolderBufferSize;
    DWORD type = 0;
    const LONG read = Os().RegQueryValueExA(key.Get(), "ProfileImagePath", nullptr, &type,
                                            reinterpret_cast<BYTE*>(value), &size);
    if (read != ERROR_SUCCESS) {
        error.RecordError("TXMK33CJLD59BD2", read);
        return false;
    }
    char expanded[kFolderBufferSize] = {};
    const DWORD needed = Os().ExpandEnvironmentStringsA(value, expanded, kFolderBufferSize);
    if (needed == 0) {
        error.RecordError("3R8BGPID74NEVHC", static_cast<int32_t>(Os().GetLastError()));
        return false;
    }
    // A longer expansion leaves the buffer undefined: no folder at all.
    if (needed > kFolderBufferSize) {
        error.RecordError("3R8BGPID74NEVHC", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    folder = expanded;
    return true;
}

bool SetProcessPrivilege(const char* name, bool enable, ActionError& error) {
    const PrivilegeChange change = ChangeProcessPrivilege(name, enable);
    if (change.failedPoint == nullptr) return true;
    error.RecordError(change.failedPoint, static_cast<int32_t>(change.lastError));
    return false;
}

LoadedHive::~LoadedHive() {
    if (!Loaded()) return;
    // Also runs while an exception unwinds, whose handler reads the last error.
    const DWORD lastError = Os().GetLastError();
    Unload();
    Os().SetLastError(lastError);
}

LONG LoadedHive::Load(HKEY root, const std::string& name, const std::string& file) {
    if (Loaded()) Unload();
    name_ = name;  // before the load: nothing may fail between it and the ownership
    const LONG result = Os().RegLoadKeyA(root, name_.c_str(), file.c_str());
    if (result == ERROR_SUCCESS) root_ = root;
    return result;
}

LONG LoadedHive::Unload() {
    if (!Loaded()) return ERROR_SUCCESS;
    const HKEY root = root_;
    root_ = nullptr;
    for (int attempt = 1;; ++attempt) {
        const LONG result = Os().RegUnLoadKeyA(root, name_.c_str());
        if (result == ERROR_SUCCESS || attempt == kUnloadAttempts) return result;
        // Gone after all: the failed attempt took it, or its holder did.
        if (attempt > 1 && result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        Os().Sleep(kUnloadPauseMs);
    }
}

EnabledPrivilege::~EnabledPrivilege() {
    if (!enabled_) return;
    const DWORD lastError = Os().GetLastError();
    ChangeProcessPrivilege(name_, false);
    Os().SetLastError(lastError);
}

bool EnabledPrivilege::Enable(ActionError& error) {
    if (!SetProcessPrivilege(name_, true, error)) return false;
    enabled_ = true;
    return true;
}

bool EnabledPrivilege::Disable(ActionError& error) {
    // A privilege that could not be switched off stays owned: the owner
    // tries once more, quietly, when it goes.
    if (!SetProcessPrivilege(name_, false, error)) return false;
    enabled_ = false;
    return true;
}

}  // namespace ca
