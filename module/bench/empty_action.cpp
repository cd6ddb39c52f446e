// The comparisons of the action-call benchmark, in a DLL built with the same
// compiler, flags and static runtime as the product: a custom action that
// does nothing, one that makes only the calls CheckMSWordRunning makes (one
// window lookup, one property write), and one that makes only the installer
// calls ReadProductVerPrm makes for an earlier installation (six properties
// read, each sized first, ten written), so that the module's own cost can be
// told from the cost of the calls any such action needs.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstdlib>

extern "C" UINT __stdcall EmptyAction(MSIHANDLE) { return ERROR_SUCCESS; }

extern "C" UINT __stdcall LookUpWindowAndSetProperty(MSIHANDLE install) {
    const bool running = FindWindowA("OpusApp", nullptr) != nullptr;
    MsiSetPropertyA(install, "IS_MSWORD_RUNNING", running ? "1" : "0");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ReadAndSetVersionProperties(MSIHANDLE install) {
    static const char* const kRead[] = {"OLD_COMMONREG_READ", "OLD_COMMONSET_READ", "OLD_SETACCESS_READ",
                                        "OLD_MAJORVER_READ",  "OLD_MINORVER_READ",  "OLD_NUMBBUILD_READ"};
    static const char* const kWritten[] = {"REG_COMMONREG", "REG_COMMONSET", "REG_SETACCESS", "OLD_COMMONREG",
                                           "OLD_COMMONSET", "OLD_SETACCESS", "OLD_MAJORVER",  "OLD_MINORVER",
                                           "OLD_NUMBBUILD", "OLD_FULLVER"};
    int values[6] = {};
    for (int i = 0; i < 6; ++i) {
        char text[260] = {};
        DWORD size = 0;
        char empty[1] = {};
        MsiGetPropertyA(install, kRead[i], empty, &size);
        size = sizeof text;
        MsiGetPropertyA(install, kRead[i], text, &size);
        values[i] = std::atoi(text);
    }
    const int written[10] = {values[0], values[1], values[2], values[0], values[1],
                             values[2], values[3], values[4], values[5], values[3] * 100 + values[4]};
    for (int i = 0; i < 10; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", written[i]);
        MsiSetPropertyA(install, kWritten[i], text);
    }
    return ERROR_SUCCESS;
}
