// Placing the Word template into a startup folder and removing it again.
#pragma once

#include "runtime/action_error.h"
#include "runtime/handles.h"

#include <string>

namespace ca {

// The template operation on one startup folder of a user whose profile
// folder was proven at `profileFinal`. Copy mode creates the folder and copies
// source folder + "\" + file name over an older copy, which it marks
// read-only; delete mode clears the mark and deletes the file. A file in use
// (32, 1224) is tried 4 times, 100 ms apart; a read-only mark that cannot be
// taken off is recorded ("1UYDXARAHJRJLWF", extra "(<file>)"); any other
// failure of the copy or deletion is not reported. The folder comes from a
// user's hive: a relative one, one outside the user's profile or one reached
// through a link is refused (recorded by CheckUserFolderPlace) before
// anything there is opened. The template is opened or made by its name
// relative to the held startup folder and changed only through a handle
// proven in place, so a target reached through a link or with more than one
// name stays as it is, unreported.
bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, const std::string& profileFinal, ActionError& error);

// Creates a folder together with every missing folder above it, 5 attempts
// per folder, and holds it in `folder`. A trailing "\" is dropped. The folder
// must lie inside `profileFinal` and be no link (as CheckUserFolderPlace
// records otherwise); the deepest existing folder above the missing ones must
// be proven in place inside the profile too. Each missing folder is made by
// its single name relative to the held folder above it (never by path),
// proven in place and held in turn: one reached through a link is refused
// ("HU7LPKPMX6M5NTQ", extra "(<folder>)(<final path>)") and removed again if
// this call made it; one that cannot be made gives "MI6VFAPVGZZPWT7", extra
// "(<path>)(<folder>)(<missing folders>)".
// `placeFound` receives the held folder's final path.
bool CreateFolderPath(const std::string& path, const std::string& profileFinal, UniqueFile& folder,
                      ActionError& error, std::string* placeFound = nullptr);

// Sets or clears the read-only attribute, keeping the other attributes.
// Failures go to the module-wide ErrorInfo; callers need not look at the
// result.
bool SetReadOnlyAttribute(const std::string& file, bool on);
// The same through an open handle of the file, which is what is changed;
// `file` names it in the reports.
bool SetReadOnlyAttribute(const std::string& file, HANDLE handle, bool on);

}  // namespace ca
