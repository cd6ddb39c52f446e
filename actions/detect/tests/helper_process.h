// The detection helper program run in a process of its own for one test:
// holds windows and mutexes from construction to destruction.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ca::test {

class HelperProcess {
public:
    // Items: "window:CLASS", "mutex:NAME" or "file:PATH" (held open without
    // sharing). Waits until all are held;
    // Ready() tells whether that happened.
    explicit HelperProcess(const std::vector<std::string>& items);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    bool Ready() const { return ready_; }

private:
    HANDLE readyEvent_ = nullptr;
    HANDLE quitEvent_ = nullptr;
    PROCESS_INFORMATION process_ = {};
    bool ready_ = false;
};

}  // namespace ca::test
