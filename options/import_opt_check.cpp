// ImportOpt_check: checks, early in the installation, the options file that
// IMPORTOPTPRM names, completely but without changing anything. A failure is
// published with the short code line.
#include "actions/action.h"
#include "options/import_options.h"

CA_ACTION ImportOpt_check(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ImportOpt_check");
    return RunImportAction(install, {ImportMode::Check, "IMPORTOPTPRM", "WI9ZLE8K40MYLYY", "FHYN8NRWDKZAI0R",
                                     "WVFWD01B7WFFHOC"});
}
