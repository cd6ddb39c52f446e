// Fault injection through the platform table, for the reliability sweep.
//
// While installed, every entry of the table through which the module can see
// a failure is wrapped. A run first records the sequence of calls the module
// makes; a later run of the same scenario makes the call at one position of
// that sequence fail the way the real function fails (its status code, or 0 /
// a null or invalid handle with the thread's last error set), and passes
// every other call on. Releasing calls (closing a key or handle, freeing a
// SID, unloading a hive, switching a privilege off) release for real and
// then report the failure, so that a failed release never leaks by itself.
#pragma once

#include "runtime/platform.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace ca::test {

struct InjectedFault {
    size_t position = 0;
    std::string entry;     // name of the table entry that failed
    int32_t code = 0;      // the error it failed with
    int32_t reported = 0;  // the code a failure record is expected to carry
    bool silent = false;   // the module is not expected to report this failure
};

// What a run does at its planned registry call instead of failing it.
enum class FaultAction {
    Throw,  // throws std::bad_alloc instead of making the call (closing a key excluded)
    Exit,   // ends the process there: ExitProcess(kKilledExitCode)
};
inline constexpr UINT kKilledExitCode = 0xDEAD;

class FaultSweep {
public:
    // Wraps the table (on top of whatever is there, the accounting included).
    FaultSweep();
    // Puts the entries back.
    ~FaultSweep();
    FaultSweep(const FaultSweep&) = delete;
    FaultSweep& operator=(const FaultSweep&) = delete;

    // The next run records its calls and fails none.
    void Record();
    // The next run fails the call at `position` (0-based) of the recorded
    // sequence.
    void FailAt(size_t position);

    // The next run acts at the registry call (an entry named "Reg...") with
    // this index (0-based) among those the action applies to.
    void ActAtRegistryCall(size_t index, FaultAction action);
    // How many registry calls of the last run an action applies to.
    size_t RegistryCallCount(FaultAction action) const;
    // The next run ends the process (kKilledExitCode) at the call with this
    // index (0-based) among those that change the machine or write a journal:
    // the registry's, the file writes, flushes, renames, deletions and
    // attribute changes, access-list writes.
    void EndAtChangingCall(size_t index);
    // How many such calls the last run made.
    size_t ChangingCallCount() const;
    // The next run ends the process before the call with this index
    // (0-based) among the calls of `entries`.
    void EndAtCallOf(const std::set<std::string>& entries, size_t index);

    // The entries called since the last Record / FailAt, in order.
    const std::vector<std::string>& Calls() const;
    // Whether the fault of the last FailAt was injected, and which one.
    bool Injected() const;
    const InjectedFault& Fault() const;
};

}  // namespace ca::test
