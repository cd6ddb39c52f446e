// Every user's Word startup folders: the walk over all profiles with, per
// profile, the folder named by the user's Word option and the default folder
// below the user's AppData.
#pragma once

#include "actions/users/profile_walk.h"

#include <functional>
#include <string>

namespace ca {

// What is done in one startup folder of `profile`, whose folder the walk
// proved at its `profileFinal`; records its own failures. Nothing outside
// that profile is served.
using StartupFolderOperation =
    std::function<bool(const std::string& folder, const UserProfile& profile, ActionError& error)>;

// Runs `operation` on every user's startup folders (the Word walk). The
// walk's result; HKEY_CURRENT_USER is never used.
bool ForEachWordStartupFolder(const StartupFolderOperation& operation, ActionError& error);

// One user's folders: the custom folder ("STARTUP-PATH" of the registered
// Word version's options), when there is one, before the default folder
// (AppData of "Shell Folders" + "\Microsoft\Word\STARTUP"). The custom
// value is read in the user's terms: "%USERPROFILE%" is the user's proven
// profile folder and "%APPDATA%" the user's AppData of "Shell Folders"; any
// other variable passes the custom folder over ("Q2ZDX774H8246IN", code 13,
// extra "(<value>)"). A custom folder that is the default one, as written
// but for the case of its letters, is served once. False when the user's
// default folder could not be processed.
bool ResolveWordStartupFolders(const UserProfile& profile, const StartupFolderOperation& operation,
                               ActionError& error);

}  // namespace ca
