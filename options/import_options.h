// The work shared by ImportOpt_check and ImportOpt_run: the parameter string
// of ten ";"-terminated fields, the options file it names, and the options
// store that checks (and in run mode imports) that file.
//
//   0 ignored                 5, 6 product characters of the file signature
//   1 scope (1: machine)      7 settings root path in the registry
//   2 major version           8 fallback folder of the options file
//   3 minor version           9 path of the options file
//   4 build number
#pragma once

#include "runtime/action_error.h"

#include <string>

namespace ca {

// Check and Run read the options file; Rollback and Commit dispose of the
// journal a Run kept for the installation (runtime/transaction.h).
enum class ImportMode { Check, Run, Rollback, Commit };

// Checks (or imports) the options file the parameters name, or settles the
// journal kept for `productCode` below the settings root they name. False
// with the failure recorded in `error`, its text led by "An error occurred
// when importing." with the file path and the fallback folder.
bool ImportOptions(ActionError& error, const std::string& parameters, ImportMode mode,
                   const std::string& productCode = std::string());

// What tells the two actions apart.
struct ImportAction {
    ImportMode mode;
    const char* property;      // where the parameter string is read from
    const char* readPoint;     // the property cannot be read
    const char* workerPoint;   // the check or import failed
    const char* catchAllPoint; // anything else thrown
};

// An import action from start to end: reads the parameters, runs the
// worker, publishes a failure (short code line; Check and Run: Rollback and
// Commit only log it). The deferred modes take the transaction switch off
// the CustomActionData; Rollback and Commit without it do nothing. Returns 0.
UINT RunImportAction(MSIHANDLE install, const ImportAction& action);

}  // namespace ca
