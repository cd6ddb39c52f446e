// The reliability sweep: an action's representative scenario is run once to
// record its calls, then once for every position of that sequence with the
// call there failing. Every run must return 0, leave nothing held, report the
// failure in the log (unless the failure is one the action leaves unreported)
// and leave the result properties its outcome table allows.
#pragma once

#include "fault_sweep.h"
#include "installer_session.h"

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ca::test {

using Writes = std::vector<std::pair<std::string, std::string>>;

struct SweepRun {
    const InjectedFault* fault;  // null for the recording run
    Writes writes;               // the properties the action set, in order
    std::vector<std::string> records;  // the log records it left
    bool Failed() const { return !writes.empty() && writes.front().first == "IS_CA_ERROR"; }
    // The writes after the failure report (all of them after a success).
    Writes Results() const;
};

struct SweepScenario {
    std::string action;
    // Prepares the machine and the session's properties; called before every run.
    std::function<void(InstallerSession&)> prepare;
    std::function<UINT(MSIHANDLE)> run;
    // Checks one run against the action's outcome table.
    std::function<void(const SweepRun&)> check;
    // Entries whose single failure this action leaves unreported by design.
    std::set<std::string> silent;
    // Codes a failure record carries instead of the injected one.
    std::map<std::string, int32_t> reported;
    // Undoes what prepare did; called once at the end.
    std::function<void()> cleanUp;
    // What the action changed on the machine, as text. A run whose failure
    // left no record, the same properties and the same state as the run
    // without a failure got over it (a retry, a fallback): it needs no report.
    std::function<std::string()> state;
};

// Runs the sweep of one scenario; returns the number of runs made.
size_t RunSweep(const SweepScenario& scenario);

// Starts this executable again with the environment variable `variable` set
// to `at` and CA_KILL_PARAMETERS to `parameters` (the child runs its action
// and ends itself at that registry call), and waits for it: its exit code.
UINT RunKilledChild(const char* variable, size_t at, const std::string& parameters);

}  // namespace ca::test
