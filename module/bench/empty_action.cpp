// The comparisons of the action-call benchmark, in a DLL built with the same
// compiler, flags and static runtime as the product: a custom action that
// does nothing, and one that makes only the calls CheckMSWordRunning makes
// (one window lookup, one property write), so that the module's own cost can
// be told from the cost of the calls any such action needs.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

extern "C" UINT __stdcall EmptyAction(MSIHANDLE) { return ERROR_SUCCESS; }

extern "C" UINT __stdcall LookUpWindowAndSetProperty(MSIHANDLE install) {
    const bool running = FindWindowA("OpusApp", nullptr) != nullptr;
    MsiSetPropertyA(install, "IS_MSWORD_RUNNING", running ? "1" : "0");
    return ERROR_SUCCESS;
}
