// Placing the Word template into a startup folder and removing it again.
#pragma once

#include "runtime/action_error.h"

#include <string>

namespace ca {

// The template operation on one startup folder. Copy mode creates the folder
// and copies source folder + "\" + file name over an older copy, which it
// marks read-only; delete mode clears the mark and deletes the file. A file
// in use (32, 1224) is tried 4 times, 100 ms apart; any other failure of the
// copy or deletion is not reported.
bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, ActionError& error);

// Creates a folder together with every missing folder above it, 5 attempts
// per folder. A trailing "\" is dropped; a path without "\" creates nothing.
bool CreateFolderPath(const std::string& path, ActionError& error);

// Sets or clears the read-only attribute, keeping the other attributes.
// Failures go to the module-wide ErrorInfo; callers need not look at the
// result.
bool SetReadOnlyAttribute(const std::string& file, bool on);

}  // namespace ca
