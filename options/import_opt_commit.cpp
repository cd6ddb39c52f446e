// ImportOpt_commit: the installation's commit of ImportOpt_run. With the
// transaction switch in its CustomActionData (the run's data, "|" and the
// ProductCode) it deletes the previous settings the run kept in its journal
// and closes the journal. Nothing without the switch or without a journal of
// that installation; harmless when run twice. A failure is only logged.
#include "actions/action.h"
#include "options/import_options.h"

CA_ACTION ImportOpt_commit(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ImportOpt_commit");
    return RunImportAction(install, {ImportMode::Commit, "CustomActionData", "OMRPFYKNGHXS3EW", "VU151E8XUU2B9ZO",
                                     "56F8T3ZGX8GP1TS"});
}
