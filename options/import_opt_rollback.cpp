// ImportOpt_rollback: the installation's rollback of ImportOpt_run. With the
// transaction switch in its CustomActionData (the run's data, "|" and the
// ProductCode) it puts back the previous settings and version record the
// run kept in its journal, whatever state the journal is in. Nothing without
// the switch or without a journal of that installation; harmless when run
// twice. A failure is only logged.
#include "actions/action.h"
#include "options/import_options.h"

CA_ACTION ImportOpt_rollback(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ImportOpt_rollback");
    return RunImportAction(install, {ImportMode::Rollback, "CustomActionData", "60PPZ8WIZXNZAY5", "7H2RJQM25T90S75",
                                     "SYU1ACK5G29D580"});
}
