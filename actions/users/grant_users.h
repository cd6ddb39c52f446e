// Granting the built-in Users group (S-1-5-32-545) access to a registry key or
// a folder: one explicit entry set on top of the object's DACL.
//
// The security functions are looked up by name in the loaded Advapi32.dll at
// run time, so the module does not import them.
#pragma once

#include "runtime/action_error.h"

#include <functional>
#include <string>

namespace ca {

// Access masks of the Users entry.
constexpr DWORD kUsersKeyRead = KEY_READ;  // 0x20019
constexpr DWORD kUsersKeyReadWrite = READ_CONTROL | DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE |
                                     KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS |
                                     KEY_NOTIFY;  // 0x3001F
constexpr DWORD kUsersFolderFull = READ_CONTROL | FILE_READ_DATA | FILE_WRITE_DATA |
                                   FILE_APPEND_DATA | FILE_READ_EA | FILE_WRITE_EA |
                                   FILE_EXECUTE | FILE_DELETE_CHILD | FILE_READ_ATTRIBUTES |
                                   FILE_WRITE_ATTRIBUTES;  // 0x201FF
static_assert(kUsersKeyRead == 0x20019 && kUsersKeyReadWrite == 0x3001F &&
              kUsersFolderFull == 0x201FF);

// Called with the object's descriptor (its DACL and control bits) after it
// was read and before the new list is written; false (it has recorded why)
// leaves the object unchanged and fails the grant. The rights actions keep
// the old list for the installation's rollback this way.
using KeepAccessList = std::function<bool(PSECURITY_DESCRIPTOR descriptor)>;

// Sets the Users entry (SET_ACCESS, inherited by subkeys) of the key below
// HKEY_LOCAL_MACHINE. A key without a DACL is left alone and counts as
// success. The key is never created. On failure records its site in `error`
// and returns false; never throws.
bool GrantUsersOnRegistryKey(const std::string& keyPath, DWORD accessMask, ActionError& error,
                             const KeepAccessList& keep = nullptr);

// The folder variant, on a folder held open with READ_CONTROL | WRITE_DAC
// whose place the caller has proven: the access list is read and written
// through that handle, never by name. The entry is inherited by files and
// subfolders.
bool GrantUsersOnFolder(HANDLE folder, DWORD accessMask, ActionError& error, const KeepAccessList& keep = nullptr);

// Both rights actions need Windows 2000 or later. Records `callFailedPoint`
// with the last error when the version cannot be read, `tooOldPoint` with 13
// on an older system, and returns false in both cases.
bool IsWindows2000OrLater(ActionError& error, const char* callFailedPoint, const char* tooOldPoint);

}  // namespace ca
