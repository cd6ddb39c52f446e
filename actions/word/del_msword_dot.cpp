// DelMSWordDot (deferred): removes the Word template from the Word startup
// folders of every user of the machine. Input: the template's file name, and
// "|" with the ProductCode when the installation keeps the undo: then each
// template is journaled and moved into the store instead of being deleted,
// and DelMSWordDotRollback / DelMSWordDotCommit settle the store.
#include "actions/action.h"
#include "actions/word/startup_folders.h"
#include "actions/word/template_file.h"
#include "actions/word/template_undo.h"
#include "runtime/properties.h"
#include "runtime/transaction.h"
#include "store/backup_store.h"

#include <string>

CA_ACTION DelMSWordDot(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "DelMSWordDot");
    ActionError error;
    RunActionBody(error, "NRAC8GXP75XSS6O", [&] {
        std::string parameters;
        if (!GetStringProperty(install, "CustomActionData", parameters, error)) {
            error.PrependPoint("LZKA7ZJ8TRB5R6G");
            ThrowFailure();
        }
        const TransactionSwitch split = SplitTransactionSwitch(parameters);
        const std::string& fileName = split.data;
        if (fileName.empty()) {
            error.RecordError("ZN7IEKYJ7GTL5C2", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        BackupStore store;
        const bool keep = BeginUndo(split, "DelMSWordDot", store, error);
        const bool walked = ForEachWordStartupFolder(
            [&](const std::string& folder, const UserProfile& profile, ActionError& e) {
                const TemplateUndo undo{&store, profile.keyName};
                return PlaceOrRemoveTemplate(false, std::string(), folder, fileName, profile.profileFinal, e,
                                             keep ? &undo : nullptr);
            },
            error);
        if (!walked) {
            error.PrependPoint("2IK8HULBS9TL5FH");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;
}

// The installation's rollback: the templates moved back (RollBackTemplates).
CA_ACTION DelMSWordDotRollback(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "DelMSWordDotRollback");
    return RunUndoAction(install, "DelMSWordDot", "6VERWNSKU6P2O63", "60IJ1USARYIS0F6",
                         [](const std::string&, BackupStore& store, const std::vector<JournalRecord>& records,
                            ActionError& error) { return RollBackTemplates(store, records, "SPHZZ3JU7X84TFD", error); });
}

// The installation's commit: the store with the removed templates goes.
CA_ACTION DelMSWordDotCommit(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "DelMSWordDotCommit");
    return RunCommitAction(install, "DelMSWordDot", "7LRWQI09WB0FJ2I", "POF90W18DGG24NG");
}
