// The registry and folder routines of DelMultiUserData.
#pragma once

#include "runtime/action_error.h"

#include <string>

namespace ca {

// Removes root\path with all its subkeys. A key that does not exist is no
// failure. A failure deep in the tree leaves the keys removed so far removed
// and one "(root)(path)" pair per level in the extra text, innermost first.
bool DeleteKeyTree(HKEY root, const std::string& path, ActionError& error);

// Removes root\path when it has neither subkeys nor values.
bool DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error);

// The user's AppData folder from "User Shell Folders" in the user's own hive.
// An expandable value of the form "%USERPROFILE%\rest" is resolved against
// the profile folder. A value naming any other variable, or one that does not
// come out as an absolute path, is refused ("0LDICMUKL7ICYOT", 13, extra
// "(<value>)"); an empty value gives an empty folder.
bool ReadUserAppDataFolder(const std::string& keyName, const std::string& profileFolder,
                           std::string& folder, ActionError& error);

}  // namespace ca
