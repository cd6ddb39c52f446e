// The registry and folder routines of DelMultiUserData.
#pragma once

#include "runtime/action_error.h"

#include <string>

namespace ca {

// What became of a key to be removed.
enum class KeyRemoval {
    Done,      // removed, or not there
    LinkKept,  // a link key on the way or inside: recorded, kept, not followed
    Failed,    // recorded
};

// Removes root\path with all its subkeys. Each key is opened below its
// parent's handle, one name at a time from `root`, as it is: a link key is
// never followed, nor deleted, and what it names stays untouched
// ("W7KQ2ZP4XRN9DHT", 681, extra "(root)(path up to the link)"; the keys that
// hold it stay too). Each key is deleted through its own handle. A key that
// does not exist is no failure. A failure deep in the tree leaves the keys
// removed so far removed and one "(root)(path)" pair per level in the extra
// text, innermost first.
KeyRemoval DeleteKeyTree(HKEY root, const std::string& path, ActionError& error);

// Removes root\path when it has neither subkeys nor values; opened and
// deleted as DeleteKeyTree does ("F5NZ8VQ3JM2TYRC" for a link).
KeyRemoval DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error);

// The user's AppData folder from "User Shell Folders" in the user's own hive.
// An expandable value of the form "%USERPROFILE%\rest" is resolved against
// the profile folder. A value naming any other variable, or one that does not
// come out as an absolute path, is refused ("0LDICMUKL7ICYOT", 13, extra
// "(<value>)"); an empty value gives an empty folder.
bool ReadUserAppDataFolder(const std::string& keyName, const std::string& profileFolder,
                           std::string& folder, ActionError& error);

}  // namespace ca
