// A program that holds what the detection actions look for, in a process of
// its own: top-level windows of given classes and named mutexes; and files
// held open without sharing, for the actions that must wait for them.
//
//   detect_helper PARENT_PID READY_EVENT QUIT_EVENT ITEM...
//   ITEM: window:CLASS | mutex:NAME | file:PATH
//
// Signals READY_EVENT once it holds every item, then holds them until
// QUIT_EVENT is set or the parent process ends. Exit code 2: an item could
// not be created.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: detect_helper PARENT_PID READY_EVENT QUIT_EVENT ITEM...\n");
        return 1;
    }
    const HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, std::strtoul(argv[1], nullptr, 10));
    const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    const HANDLE quit = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
    if (parent == nullptr || ready == nullptr || quit == nullptr) return 1;

    std::vector<HWND> windows;
    std::vector<HANDLE> handles;  // mutexes and files
    for (int i = 4; i < argc; ++i) {
        const std::string item = argv[i];
        if (item.rfind("window:", 0) == 0) {
            const std::string windowClass = item.substr(7);
            WNDCLASSA wc = {};
            wc.lpfnWndProc = DefWindowProcA;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = windowClass.c_str();
            if (!RegisterClassA(&wc)) return 2;
            const HWND window =
                CreateWindowExA(0, windowClass.c_str(), "detect helper", WS_OVERLAPPEDWINDOW, 0, 0,
                                100, 100, nullptr, nullptr, wc.hInstance, nullptr);
            if (window == nullptr) return 2;
            windows.push_back(window);
        } else if (item.rfind("mutex:", 0) == 0) {
            const HANDLE mutex = CreateMutexA(nullptr, TRUE, item.substr(6).c_str());
            if (mutex == nullptr) return 2;
            handles.push_back(mutex);
        } else if (item.rfind("file:", 0) == 0) {
            const HANDLE file = CreateFileA(item.substr(5).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) return 2;
            handles.push_back(file);
        } else {
            return 1;
        }
    }
    SetEvent(ready);

    const HANDLE waits[] = {quit, parent};
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 2) break;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    for (HWND window : windows) DestroyWindow(window);
    for (HANDLE handle : handles) CloseHandle(handle);
    return 0;
}
