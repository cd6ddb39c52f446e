// The walk over every user profile of the machine, shared by the per-user
// actions: it reaches each user's registry below HKEY_USERS, loading the hive
// of a user who is not logged on for the time of one callback.
#pragma once

#include "runtime/action_error.h"

#include <functional>
#include <string>

namespace ca {

// One profile of the machine's profile list, valid during one callback.
struct UserProfile {
    // Name of the profile list's subkey (a SID string on the NT family); the
    // user's registry root is the subkey of HKEY_USERS of this name.
    std::string keyName;
    // "ProfileImagePath" with environment variables expanded.
    std::string profileFolder;
    // Where the system says the profile folder is, once the walk has proven it
    // in place (reached through no link); the walk holds it open, not to be
    // renamed or deleted, for the whole callback. Empty when the folder does
    // not exist: then no folder of the user's is inside the profile.
    std::string profileFinal;
    // The walk loaded the hive for this callback and unloads it afterwards.
    bool hiveLoadedByWalk = false;
};

// The error points of one caller of the walk, one per failure site.
struct WalkErrorPoints {
    const char* version;        // the platform cannot be told
    const char* profileList;    // the profile list cannot be opened
    const char* probe;          // HKEY_USERS answers neither loaded nor not loaded
    const char* profileFolder;  // ReadProfileFolder failed
    const char* place;          // the profile folder or its hive file is not in place
    const char* privilege;      // the restore privilege cannot be enabled
    const char* load;           // RegLoadKeyA failed
    const char* unload;         // RegUnLoadKeyA failed
    const char* privilegeOff;   // the restore privilege cannot be switched off
    const char* catchAll;       // any other exception inside the walk
};

// DelMultiUserData's walk.
extern const WalkErrorPoints kRemovalWalkPoints;
// The walk of the Word template actions.
extern const WalkErrorPoints kWordWalkPoints;

// Called once per usable profile; records its own failures. Its result is not
// examined.
using ProfileCallback = std::function<bool(const UserProfile&, ActionError&)>;

// Calls `callback` for every profile of the machine's profile list whose
// folder can be read and whose hive is loaded or can be loaded (a hive file
// that does not exist is reported as a failed load, never handed to the
// system, which would create it). The profile folder is proven in place and
// held through the callback; a folder reached through a link, or a hive file
// that is no regular file with a single name, or not the same file after the
// load, passes the profile over (`place`, with the answer of OpenInPlace as
// code, or 1142 for a file that changed, and extra "(<key name>)(<path>)(<final
// path>)"). A failure of
// one profile is recorded and the walk goes on with the next. Returns false
// when the walk as a whole failed (no platform, no profile list, an
// exception). When the restore privilege the walk enabled cannot be switched
// off again, the walk records it and leaves with the failure signal: the
// action ends at once. No hive the walk loaded stays loaded and no privilege
// it enabled stays enabled, whatever the callback does.
bool WalkUserProfiles(const ProfileCallback& callback, const WalkErrorPoints& points,
                      ActionError& error);

// The "ProfileImagePath" of the profile list's subkey `keyName`, expanded in
// this process's environment into at most 1023 characters.
bool ReadProfileFolder(HKEY profileList, const std::string& keyName, std::string& folder,
                       ActionError& error);

// Switches a privilege of this process's token on or off.
bool SetProcessPrivilege(const char* name, bool enable, ActionError& error);

// A hive loaded below a root key, unloaded again when the owner goes.
class LoadedHive {
public:
    LoadedHive() = default;
    ~LoadedHive();
    LoadedHive(const LoadedHive&) = delete;
    LoadedHive& operator=(const LoadedHive&) = delete;

    // RegLoadKeyA; its result.
    LONG Load(HKEY root, const std::string& name, const std::string& file);
    // RegUnLoadKeyA, up to 5 attempts 200 ms apart; the last result (a
    // retry that finds the hive gone is a success). The hive is not owned
    // afterwards, unloaded or not.
    LONG Unload();
    bool Loaded() const { return root_ != nullptr; }

private:
    HKEY root_ = nullptr;
    std::string name_;
};

// A privilege this process enabled, switched off again when the owner goes.
class EnabledPrivilege {
public:
    explicit EnabledPrivilege(const char* name) : name_(name) {}
    ~EnabledPrivilege();
    EnabledPrivilege(const EnabledPrivilege&) = delete;
    EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;

    bool Enable(ActionError& error);
    // Owned until it has been switched off: after a failure here the owner
    // tries again when it goes.
    bool Disable(ActionError& error);
    bool Enabled() const { return enabled_; }

private:
    const char* name_;
    bool enabled_ = false;
};

}  // namespace ca
