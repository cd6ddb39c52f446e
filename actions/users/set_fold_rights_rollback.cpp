// SetFoldRightsRollback: the installation's rollback of SetFoldRights. With
// the transaction switch in its data (SetFoldRights' data, "|" and the
// ProductCode) it writes back the access list, protection included, that the
// folder had before the Users entry was set, from the action's store, through
// a handle proven in place as the action's own, and only on the same folder
// (its number on the volume): one put at its name since keeps its list, and
// so does a folder that is gone. A folder reached through a link, or a list
// that cannot be written back, is logged and the store kept. Nothing without
// the switch or without a store; harmless when run twice.
#include "actions/action.h"
#include "actions/users/folder.h"
#include "actions/users/rights_undo.h"
#include "runtime/text.h"

CA_ACTION SetFoldRightsRollback(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetFoldRightsRollback");
    return RunUndoAction(
        install, "SetFoldRights", "M2KW8TX5QZ9RD3F", "X7HQ4VB9NC2KT6P",
        [](const std::string&, BackupStore&, const std::vector<JournalRecord>& records, ActionError& error) {
            bool settled = true;
            for (auto record = records.rbegin(); record != records.rend(); ++record) {
                if (record->size() < 4 || (*record)[0] != "acl") continue;
                const std::string& path = (*record)[1];
                UniqueFile pin;
                const FolderPlace place = CheckFolderPlace(path, READ_CONTROL | WRITE_DAC, pin, error);
                if (place == FolderPlace::Missing) continue;
                DWORD answer = place == FolderPlace::Refused ? kReachedThroughLink : ERROR_SUCCESS;
                // Another folder at the name: the list was not its own.
                if (answer == ERROR_SUCCESS && FolderNumber(pin.Get()) != (*record)[3]) continue;
                if (answer == ERROR_SUCCESS) answer = WriteAccessList(pin.Get(), SE_FILE_OBJECT, (*record)[2]);
                if (answer != ERROR_SUCCESS) {
                    error.RecordError("D9TF3KZ6WQ8MX2R", static_cast<int32_t>(answer), nullptr,
                                      StringPrintf("(%s)", path.c_str()));
                    settled = false;
                }
            }
            return settled;
        });
}
