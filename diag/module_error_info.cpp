// The module-wide failure record: a namespace-scope object, so it is built
// when the module is loaded and destroyed when it is unloaded.
#include "diag/error_info.h"

namespace ca {

namespace {
ErrorInfo g_moduleErrorInfo(false);
}  // namespace

ErrorInfo& ModuleErrorInfo() { return g_moduleErrorInfo; }

}  // namespace ca
