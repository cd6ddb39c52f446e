// Entry point of the module. Loading it constructs the module-wide error
// record (a namespace-scope object of the diagnostics library, destroyed at
// unload) and nothing else: no thread, timer, file or key is opened.
#include "diag/error_info.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    // Referencing the record's accessor links the record into the module.
    static_cast<void>(&ca::ModuleErrorInfo);
    return TRUE;
}
