// Entry point of the module. Loading it creates nothing but the module-wide
// objects defined with static storage in the libraries linked in.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
