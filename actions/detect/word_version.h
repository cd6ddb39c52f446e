// The major version of the Word registered on the machine, shared by the
// Word detection actions and the Word template deployment.
#pragma once

#include "runtime/action_error.h"

namespace ca {

// Reads HKEY_CLASSES_ROOT\Word.Application\CurVer ("Word.Application.11")
// and returns the number after its last ".": greater than 0 for a registered
// Word, 0 when none is registered, -1 after a failure recorded in `error`.
int ReadWordMajorVersion(ActionError& error);

}  // namespace ca
