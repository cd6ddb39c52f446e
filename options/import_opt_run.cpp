// ImportOpt_run: imports the options file that CustomActionData names,
// replacing the application's profile settings and recording the file's
// option version. Deferred, yet it publishes a failure like an immediate
// action (short code line).
#include "actions/action.h"
#include "options/import_options.h"

CA_ACTION ImportOpt_run(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ImportOpt_run");
    return RunImportAction(install, {ImportMode::Run, "CustomActionData", "2OZB76K9A2US6WK", "MNORUE2LJU643YD",
                                     "2958ZSD15XN89DQ"});
}
