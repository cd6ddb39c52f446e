// Folders that only SYSTEM and Administrators can change: where code that
// runs as LocalSystem keeps files no user may plant, read or replace.
#pragma once

#include "runtime/handles.h"

#include <string>

namespace ca {

// The access list a protected folder is created with: full control for
// SYSTEM and Administrators, inherited by everything below, nothing inherited
// from the parent and no other entry. The owner is the creator's default
// owner (SYSTEM or Administrators for LocalSystem).
constexpr const char* kProtectedFolderAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Answers of OpenProtectedFolder besides the system's own errors.
constexpr DWORD kFolderReachedThroughLink = 681;             // ERROR_STOPPED_ON_SYMLINK
constexpr DWORD kFolderForeignOwner = ERROR_INVALID_OWNER;   // 1307
constexpr DWORD kFolderOthersMayChange = ERROR_INVALID_ACL;  // 1336

struct ProtectedFolder {
    // Held with READ_CONTROL | FILE_READ_ATTRIBUTES and the access asked for,
    // sharing read and write but never delete: while it is held the folder
    // cannot be renamed, removed or replaced.
    UniqueFile handle;
    // The folder's path as the system gives it for the handle ("C:\...",
    // "\\server\share\..."), no separator at its end; empty where the system
    // gives none (before Windows Vista).
    std::string finalPath;
};

// Creates the folder `path` (absolute; its parent must exist) with
// kProtectedFolderAccess, or takes the existing one, and proves it through
// the open handle: a folder and no reparse point, opened without following a
// link at its end, whose final path is `path` itself (made full and long);
// owned by SYSTEM or Administrators; with an access list that grants nobody
// else any right to write, append, create, delete, change attributes or
// extended attributes, the access list or the owner, on the folder or on what
// it passes on to new objects below it (deny entries are allowed). The
// account the calling thread acts with counts as SYSTEM does: for an action
// that runs as LocalSystem that is SYSTEM itself; an action run by another
// account (Wine runs every program as the installing user) may keep its
// own things where it alone can create them. An
// existing folder that fails is never repaired.
//
// Answers ERROR_SUCCESS with `folder` filled; otherwise nothing is held and
// the answer is the failing call's error (the parent missing: 3; the path
// held by a file: 267 ERROR_DIRECTORY), kFolderReachedThroughLink,
// kFolderForeignOwner (also when the creator itself is neither SYSTEM nor an
// administrator), kFolderOthersMayChange (no access list at all included) or
// ERROR_CALL_NOT_IMPLEMENTED where the system lacks the access-list
// functions. Records nothing: the caller decides what a refusal means.
DWORD OpenProtectedFolder(const std::string& path, ProtectedFolder& folder, DWORD access = 0);

// The path the system gives for an open handle, without its "\\?\" prefix
// ("\\?\UNC\server\share" as "\\server\share") and without a separator at
// its end; empty with `error` set (ERROR_CALL_NOT_IMPLEMENTED before Windows
// Vista) when it gives none.
std::string HandlePath(HANDLE handle, DWORD& error);

// Whether two paths are the same, compared as the file system does (case
// does not count), in the ANSI code page.
bool SamePathText(const std::string& a, const std::string& b);

}  // namespace ca
