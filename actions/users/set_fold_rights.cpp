// SetFoldRights (deferred): gives the Users group full use of one folder and
// everything in it; files and subfolders inherit the entry. The input is the
// folder path; an empty path, or one that names no folder, is skipped
// silently. A relative path, or a folder reached through a link, is refused
// and logged; so are other failures. With the transaction switch at the end
// of its data ("|" and the ProductCode) it keeps the folder's old access list
// for the installation's rollback (SetFoldRightsRollback) or commit
// (SetFoldRightsCommit).
#include "actions/action.h"
#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/text/input_text.h"
#include "actions/users/grant_users.h"
#include "actions/users/rights_undo.h"
#include "runtime/properties.h"
#include "runtime/transaction.h"

CA_ACTION SetFoldRights(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetFoldRights");
    ActionError error;
    RunActionBody(error, "I3MPEAA3ULK86D4", [&] {
        if (!IsWindows2000OrLater(error, "VDYHEMK8NNV7B6A", "KKRDPLFVKTIT8NT")) ThrowFailure();
        std::string data;
        if (!GetStringProperty(install, "CustomActionData", data, error)) {
            error.PrependPoint("ENT7DBI3HSITX9U");
            ThrowFailure();
        }
        const TransactionSwitch split = SplitTransactionSwitch(data);
        const std::string& folder = split.data;
        if (folder.empty()) return;
        // The access list changes through the handle that was proven in place:
        // a folder turned into a link or mount point after the proof keeps the
        // list of what is behind it unchanged.
        UniqueFile pin;
        const FolderPlace place = AbsoluteRootLength(folder, IsAnsiLeadByte) == 0 || IsExistingFolder(folder)
                                      ? CheckFolderPlace(folder, READ_CONTROL | WRITE_DAC, pin, error)
                                      : FolderPlace::Missing;
        if (place == FolderPlace::Missing) return;
        BackupStore store;
        KeepAccessList keep;
        if (place == FolderPlace::InPlace && BeginUndo(split, "SetFoldRights", store, error))
            keep = [&](PSECURITY_DESCRIPTOR old) {
                return KeepOldAccessList(store, folder, FolderNumber(pin.Get()), old, "T8WQ3KX7ZN5MD2V", error);
            };
        if (place == FolderPlace::Refused || !GrantUsersOnFolder(pin.Get(), kUsersFolderFull, error, keep)) {
            error.PrependPoint("VY2AUTEG6WRFBHY");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;  // deferred: the log is the only report
}
