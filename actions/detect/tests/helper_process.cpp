#include "helper_process.h"

#include "installer_session.h"

#include <gtest/gtest.h>

namespace ca::test {

HelperProcess::HelperProcess(const std::vector<std::string>& items) {
    static int serial = 0;
    const std::string prefix = "CaDetectHelper." + std::to_string(GetCurrentProcessId()) + "." +
                               std::to_string(++serial);
    const std::string readyName = prefix + ".ready", quitName = prefix + ".quit";
    readyEvent_ = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    quitEvent_ = CreateEventA(nullptr, TRUE, FALSE, quitName.c_str());
    std::string commandLine = "\"" + ExecutableFolder() + "detect_helper.exe\" " +
                              std::to_string(GetCurrentProcessId()) + " " + readyName + " " +
                              quitName;
    for (const std::string& item : items) commandLine += " \"" + item + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
        ADD_FAILURE() << "cannot start the helper: " << GetLastError();
        return;
    }
    const HANDLE waits[] = {readyEvent_, process_.hProcess};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, 30000);
    ready_ = woken == WAIT_OBJECT_0;
    if (!ready_) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process_.hProcess, &exitCode);
        ADD_FAILURE() << "the helper did not get ready (wait " << woken << ", exit code "
                      << exitCode << "); windows need a display";
    }
}

HelperProcess::~HelperProcess() {
    if (process_.hProcess != nullptr) {
        SetEvent(quitEvent_);
        if (WaitForSingleObject(process_.hProcess, 30000) != WAIT_OBJECT_0)
            TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
    CloseHandle(quitEvent_);
    CloseHandle(readyEvent_);
}

}  // namespace ca::test
