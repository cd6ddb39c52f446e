// CopyMSWordDot (deferred): copies the Word template into the Word startup
// folders of every user of the machine. Input: source folder ";" file name,
// and "|" with the ProductCode when the installation keeps the undo: then
// every folder made, older template moved aside and copy written is
// journaled first, and CopyMSWordDotRollback / CopyMSWordDotCommit settle
// the store.
#include "actions/action.h"
#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "actions/word/startup_folders.h"
#include "actions/word/template_file.h"
#include "actions/word/template_undo.h"
#include "runtime/properties.h"
#include "runtime/transaction.h"
#include "store/backup_store.h"

#include <string>

CA_ACTION CopyMSWordDot(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CopyMSWordDot");
    ActionError error;
    RunActionBody(error, "KRV7UJTAPC4JKLL", [&] {
        std::string parameters;
        if (!GetStringProperty(install, "CustomActionData", parameters, error)) {
            error.PrependPoint("Z8GBKV74EY5NJSZ");
            ThrowFailure();
        }
        const TransactionSwitch split = SplitTransactionSwitch(parameters);
        const std::string& data = split.data;
        // Everything after the first ";", further ";" included, is the file name.
        const size_t separator = FindChar(data, ';', 0, IsAnsiLeadByte);
        if (separator == std::string::npos) {
            error.RecordError("IIBWX626YLU8GZ3", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        const std::string sourceFolder = data.substr(0, separator);
        const std::string fileName = data.substr(separator + 1);
        if (sourceFolder.empty()) {
            error.RecordError("JYV46EXXPKPHBT2", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        if (fileName.empty()) {
            error.RecordError("2XS6TZAEJ6UPS9D", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        BackupStore store;
        const bool keep = BeginUndo(split, "CopyMSWordDot", store, error);
        const bool walked = ForEachWordStartupFolder(
            [&](const std::string& folder, const UserProfile& profile, ActionError& e) {
                const TemplateUndo undo{&store, profile.keyName};
                return PlaceOrRemoveTemplate(true, sourceFolder, folder, fileName, profile.profileFinal, e,
                                             keep ? &undo : nullptr);
            },
            error);
        if (!walked) {
            error.PrependPoint("JZV8RT3PY3NKZNI");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;
}

// The installation's rollback: the copies deleted, the older templates put
// back, the folders made removed again (RollBackTemplates).
CA_ACTION CopyMSWordDotRollback(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CopyMSWordDotRollback");
    return RunUndoAction(install, "CopyMSWordDot", "2P7PJFHTO8TIG07", "7XVYT8N4ZZ5JBM5",
                         [](const std::string&, BackupStore& store, const std::vector<JournalRecord>& records,
                            ActionError& error) { return RollBackTemplates(store, records, "CPG00K7SBT8G8SI", error); });
}

// The installation's commit: the store with the older templates goes, once
// those that a failed copy left there are back in their folders
// (PutBackStranded).
CA_ACTION CopyMSWordDotCommit(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CopyMSWordDotCommit");
    return RunUndoAction(install, "CopyMSWordDot", "BBE9F9NMIOMXJCH", "SJAFRZO7N6SBD8J",
                         [](const std::string&, BackupStore& store, const std::vector<JournalRecord>& records,
                            ActionError& error) { return PutBackStranded(store, records, "CPG00K7SBT8G8SI", error); });
}
