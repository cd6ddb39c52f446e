// The comparison of the action-call benchmark: a custom action that does
// nothing, in a DLL built with the same compiler, flags and static runtime
// as the product.
#include <windows.h>
#include <msi.h>

extern "C" UINT __stdcall EmptyAction(MSIHANDLE) { return ERROR_SUCCESS; }
