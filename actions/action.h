// What every exported action source includes.
#pragma once

#include "runtime/action_error.h"
#include "runtime/action_scope.h"
#include "runtime/platform.h"

// The custom-action signature; exported by undecorated name through the
// module's export list.
#define CA_ACTION extern "C" UINT __stdcall
