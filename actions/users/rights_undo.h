// The undo of the rights actions: the access list an object had before the
// Users entry was set, kept in the action's store as SDDL (with its
// protection bits) and written back by the installation's rollback.
#pragma once

#include "actions/users/grant_users.h"
#include "store/backup_store.h"

#include <string>

namespace ca {

// The journal record of one object's old list: {"acl", path, SDDL, object
// number}. The number (a folder's file index, empty for a key) lets the
// rollback tell the same folder from one put at its name since.
bool KeepOldAccessList(BackupStore& store, const std::string& path, const std::string& objectNumber,
                       PSECURITY_DESCRIPTOR descriptor, const char* point, ActionError& error);

// Writes the SDDL's access list and protection through `object`, held with
// WRITE_DAC. 0 or the failing call's error; ERROR_INVALID_SECURITY_DESCR
// for a text without a list, which is never written.
DWORD WriteAccessList(HANDLE object, SE_OBJECT_TYPE type, const std::string& sddl);

// A folder's number on its volume as journal text; empty when unknown.
std::string FolderNumber(HANDLE folder);

}  // namespace ca
