// SetFoldRights (deferred): gives the Users group full use of one folder and
// everything in it; files and subfolders inherit the entry. The input is the
// folder path; an empty path, or one that names no folder, is skipped
// silently. Failures are only logged.
#include "actions/action.h"
#include "actions/users/folder.h"
#include "actions/users/grant_users.h"
#include "runtime/properties.h"

CA_ACTION SetFoldRights(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetFoldRights");
    ActionError error;
    RunActionBody(error, "I3MPEAA3ULK86D4", [&] {
        if (!IsWindows2000OrLater(error, "VDYHEMK8NNV7B6A", "KKRDPLFVKTIT8NT")) ThrowFailure();
        std::string folder;
        if (!GetStringProperty(install, "CustomActionData", folder, error)) {
            error.PrependPoint("ENT7DBI3HSITX9U");
            ThrowFailure();
        }
        if (folder.empty() || !IsExistingFolder(folder)) return;
        if (!GrantUsersOnFolder(folder, kUsersFolderFull, error)) {
            error.PrependPoint("VY2AUTEG6WRFBHY");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;  // deferred: the log is the only report
}
