// SetRegRightsRollback: the installation's rollback of SetRegRights. With the
// transaction switch in its data (SetRegRights' data, "|" and the
// ProductCode) it writes back the access list, protection included, that the
// key had before the Users entry was set, from the action's store; then the
// store goes. A key that is gone meanwhile has nothing to put back. A list
// that cannot be written back is logged and its store kept. Nothing without
// the switch or without a store; harmless when run twice.
#include "actions/action.h"
#include "actions/users/rights_undo.h"
#include "runtime/handles.h"
#include "runtime/text.h"

CA_ACTION SetRegRightsRollback(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetRegRightsRollback");
    return RunUndoAction(install, "SetRegRights", "K4T9WQ2MZ7XH3VB", "R8NC5JY2PL6QWD4",
                         [](const std::string&, BackupStore&, const std::vector<JournalRecord>& records,
                            ActionError& error) {
                             bool settled = true;
                             for (auto record = records.rbegin(); record != records.rend(); ++record) {
                                 if (record->size() < 3 || (*record)[0] != "acl") continue;
                                 const std::string& path = (*record)[1];
                                 UniqueKey key;
                                 LONG answer = Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                                                  READ_CONTROL | WRITE_DAC, key.Receive());
                                 if (answer == ERROR_FILE_NOT_FOUND) continue;
                                 if (answer == ERROR_SUCCESS)
                                     answer = static_cast<LONG>(WriteAccessList(key.Get(), SE_REGISTRY_KEY, (*record)[2]));
                                 if (answer != ERROR_SUCCESS) {
                                     error.RecordError("B3XH7KQ9VM2TZ5N", answer, nullptr,
                                                       StringPrintf("(%s)", path.c_str()));
                                     settled = false;
                                 }
                             }
                             return settled;
                         });
}
