// Folder checks shared by the rights and the Word template actions, and the
// rule by which the actions that run as LocalSystem change what lies in a
// folder a user may control: the object is opened first, its place is proven
// from the open handle, and the change is made through that handle (or, for
// a folder, while the handle is held).
#pragma once

#include "runtime/action_error.h"
#include "runtime/handles.h"

#include <string>
#include <vector>

namespace ca {

// The answers of OpenInPlace besides the open's own error.
constexpr DWORD kReachedThroughLink = 681;        // ERROR_STOPPED_ON_SYMLINK
constexpr DWORD kSeveralNames = ERROR_TOO_MANY_LINKS;  // 1142

// True exactly when the path names an existing folder. Reports nothing.
bool IsExistingFolder(const std::string& path);

// What OpenInPlace opens.
enum class ObjectKind { File, Folder };

// Opens `path` with `access` and the disposition given (a folder also for
// listing, so that its sharing counts), without following a
// reparse point at its end and sharing read and write, never delete (so that
// while the handle is held the object cannot be renamed, deleted or replaced),
// and proves that the object is where the path says: the final path that the
// system gives for the handle is the path itself (a junction, symbolic link
// or mount point on the way makes it differ), it is no reparse point, it is
// of the kind wanted, and a file has exactly one name. Answers ERROR_SUCCESS
// with `handle` open; or the open's error, kReachedThroughLink, kSeveralNames,
// ERROR_ACCESS_DENIED (a folder where a file is wanted) or ERROR_DIRECTORY (a
// file where a folder is wanted), with nothing held. `created` tells whether
// the open made a new file; a new file that fails the proof is deleted again.
// `finalPath` receives the path the system gave, when it gave one.
DWORD OpenInPlace(const std::string& path, DWORD access, DWORD disposition, ObjectKind kind, UniqueFile& handle,
                  std::string* finalPath = nullptr, bool* created = nullptr);

// The proof of an object just opened, once `placed` tells whether the place
// the system gives for it is the one asked for (ERROR_SUCCESS, or what
// OpenInPlace answers then): no reparse point, of the kind wanted, a file
// with a single name. Answers as OpenInPlace.
DWORD ProveObject(HANDLE handle, ObjectKind kind, DWORD placed);

// Marks an opened object for deletion when its last handle closes; 0 or the
// last error (a read-only file: 5; a folder with content: 145).
DWORD DeleteByHandle(HANDLE handle);

enum class FolderPlace { InPlace, Missing, Refused };

// The check before anything in `folder` is changed: its path must be
// absolute ("X:\" or "\\server\share"), else "LH2VPM55L4S3QMQ", code 13,
// extra "(<folder>)"; when the folder exists it must be in place, else
// "HU7LPKPMX6M5NTQ" with the answer of OpenInPlace as code and extra
// "(<folder>)(<final path>)". Missing: the folder does not exist (2, 3).
// InPlace: `pin` holds the folder, opened with `access` besides reading its
// attributes; the caller keeps it while it changes the folder.
// `placeFound` receives the final path of an InPlace folder (without a
// separator at its end).
FolderPlace CheckFolderPlace(const std::string& folder, DWORD access, UniqueFile& pin, ActionError& error,
                             std::string* placeFound = nullptr);

// Where the look down a user's folder stopped when the folder is missing:
// the deepest folder there is, held and proven, and the names below it that
// are not there, outermost first.
struct FolderWay {
    UniqueFile deepest;
    std::string deepestFinal;
    std::vector<std::string> missing;
};

// The check before anything is done for a user in a folder taken from that
// user's values (AppData, a Word startup folder). The folder must be absolute
// ("LH2VPM55L4S3QMQ", 13, extra "(<folder>)") and lie inside `profileFinal`,
// the user's own profile folder as the walk proved it
// (UserProfile::profileFinal): a folder that names another place (another
// drive, a network path, another user's profile) is refused before anything
// there is opened ("R6WDX8MQ3ZT5KUE", code 13, extra "(<folder>)(<profile
// folder>)"); an empty `profileFinal` holds nothing. Inside, the folder is
// never opened by its path: each of its names is opened below the one before,
// starting at the profile folder, without following a reparse point, and
// proven (OpenChild); one that is not in place is refused ("HU7LPKPMX6M5NTQ",
// the answer as code, extra "(<folder>)(<final path of that name>)").
// InPlace: `pin` holds the folder (opened with `access` besides listing) and
// `placeFound` receives its final path. Missing: a name is not there; `way`
// receives where the look stopped.
FolderPlace CheckUserFolderPlace(const std::string& folder, const std::string& profileFinal, DWORD access,
                                 UniqueFile& pin, ActionError& error, std::string* placeFound = nullptr,
                                 FolderWay* way = nullptr);

// Whether `path`, made full (".." and "." components resolved, the text
// only: nothing is opened), lies inside `folder` or is that folder.
bool PathLiesWithin(const std::string& path, const std::string& folder);

// Opens, or makes, the object `name` directly in the held folder `parent`
// whose proven final path is `parentFinal`: by that single name relative to
// the handle, so the path the folder had cannot have been turned elsewhere
// meanwhile, without following a reparse point at the name, sharing read and
// write but never delete. The object is proven as OpenInPlace proves it: no
// reparse point, of the kind wanted, a file with a single name, and its final
// path the folder's followed by "\" and the name. Answers as OpenInPlace; a
// name of more than one component, "." or "..", is ERROR_INVALID_NAME. An
// object this call made that fails the proof is deleted again (the access
// must include DELETE when `disposition` may create).
DWORD OpenChild(HANDLE parent, const std::string& parentFinal, const std::string& name, DWORD access,
                ULONG disposition, ObjectKind kind, UniqueFile& handle, std::string* finalPath = nullptr);

// The path the system gives for an open handle, without its "\\?\" prefix
// and without a trailing separator; empty when it gives none.
std::string FinalPathOf(HANDLE handle);

}  // namespace ca
