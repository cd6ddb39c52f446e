// Placing the Word template into a startup folder and removing it again.
#pragma once

#include "runtime/action_error.h"
#include "runtime/handles.h"
#include "store/backup_store.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ca {

// The undo a transaction keeps of one user's template operations: every
// change is journaled in `store` before it is made, under the profile's key
// name, and a template replaced or removed is moved into the store instead
// of being overwritten or deleted. The records (their first field the kind):
//   "folder", key name, folder               a startup folder about to be made
//   "replaced", key name, folder, file, backup  an older template moved aside
//   "copying", key name, folder, file        the new template about to be made
//   "copied", key name, folder, file, number the new template just made, empty
//                                            yet: its file number (FileNumberText)
//   "moved", key name, folder, file, backup  a template the removal moved aside
//   "restore", key name, folder, file, backup  an older template that a failed
//                                            copy could not move back (it
//                                            follows its "replaced" record)
// Journals of earlier versions hold "copied", key name, folder, file (no
// number) before the copy was made instead. A record that cannot be written
// stops the operation on that folder ("F1JRMN1V1Y9J03B", extra
// "(<kind>)(<file or folder>)").
struct TemplateUndo {
    BackupStore* store = nullptr;
    std::string keyName;
};

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
// name stays as it is, unreported. With `undo`, an older template is moved
// into the store as it is, its read-only mark included ("64S1JQXWEF8V346"
// when that fails, extra "(<file>)"), and put back under its name when the
// copy then fails ("ZIYZ795LGC2P8XB", extra "(<file>)(<backup>)", when it
// cannot be); delete mode moves the template there ("ZOC83AP8SV8132U",
// extra "(<file>)").
bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, const std::string& profileFinal, ActionError& error,
                           const TemplateUndo* undo = nullptr);

// The answer of DeleteTemplateIn when the read-only mark could not be taken
// off the template (recorded already).
constexpr DWORD kTemplateMarkStays = 0xFFFFFFFF;

// The answer of DeleteTemplateIn when the file there is not the one it was
// asked to delete; nothing recorded, the file stays as it is.
constexpr DWORD kTemplateNotOurs = 0xFFFFFFFD;

// Whether the file open on the handle is the one to delete.
using TemplateCheck = std::function<bool(HANDLE file)>;

// The text of a file number (ReadFileIndex) in the journal.
std::string FileNumberText(uint64_t number);

// Deletes the template `name` of the held, proven folder through a proven
// handle, its read-only mark taken off first (as delete mode does); `target`
// names it in reports. With `ours`, a file it refuses is neither unmarked
// nor deleted. Answers 0 (ERROR_FILE_NOT_FOUND when it is not there),
// kTemplateMarkStays ("1UYDXARAHJRJLWF" or "52WTZBMJ6CWCE11" recorded),
// kTemplateNotOurs or the failure.
DWORD DeleteTemplateIn(HANDLE folder, const std::string& folderFinal, const std::string& name,
                       const std::string& target, ActionError& error, const TemplateCheck& ours = {});

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
// `placeFound` receives the held folder's final path. `beforeMaking`, when
// given, hears of each missing folder (its path) before it is made; false
// ends the call there (it has recorded why).
bool CreateFolderPath(const std::string& path, const std::string& profileFinal, UniqueFile& folder,
                      ActionError& error, std::string* placeFound = nullptr,
                      const std::function<bool(const std::string& folder)>& beforeMaking = {});

// Sets or clears the read-only attribute, keeping the other attributes.
// Failures go to the module-wide ErrorInfo; callers need not look at the
// result.
bool SetReadOnlyAttribute(const std::string& file, bool on);
// The same through an open handle of the file, which is what is changed;
// `file` names it in the reports.
bool SetReadOnlyAttribute(const std::string& file, HANDLE handle, bool on);

}  // namespace ca
