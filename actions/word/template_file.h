// Placing the Word template into a startup folder and removing it again.
#pragma once

#include "runtime/action_error.h"

#include <string>

namespace ca {

// The template operation on one startup folder. Copy mode creates the folder
// and copies source folder + "\" + file name over an older copy, which it
// marks read-only; delete mode clears the mark and deletes the file. A file
// in use (32, 1224) is tried 4 times, 100 ms apart; any other failure of the
// copy or deletion is not reported. The folder comes from a user's hive: a
// relative one, or one reached through a link, is refused (recorded by
// CheckFolderPlace); the target is changed only through a handle proven in
// place, so a target reached through a link or with more than one name stays
// as it is, unreported.
bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, ActionError& error);

// Creates a folder together with every missing folder above it, 5 attempts
// per folder. A trailing "\" is dropped; a path without "\" creates nothing.
// Of an absolute path, the root (drive or "\\server\share") is never
// created: when it cannot be reached, one look fails the call. The folder the
// new ones go into, and each new one, must be reached through no link
// ("HU7LPKPMX6M5NTQ").
bool CreateFolderPath(const std::string& path, ActionError& error);

// Sets or clears the read-only attribute, keeping the other attributes.
// Failures go to the module-wide ErrorInfo; callers need not look at the
// result.
bool SetReadOnlyAttribute(const std::string& file, bool on);
// The same through an open handle of the file, which is what is changed;
// `file` names it in the reports.
bool SetReadOnlyAttribute(const std::string& file, HANDLE handle, bool on);

}  // namespace ca
