#include "sweep.h"

#include "accounting.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace ca::test {

Writes SweepRun::Results() const {
    if (!Failed()) return writes;
    return Writes(writes.begin() + std::min<size_t>(3, writes.size()), writes.end());
}

namespace {

SweepRun RunOnce(const SweepScenario& scenario, FaultSweep& sweep, bool record, size_t position) {
    InstallerLog log;
    InstallerSession session;
    scenario.prepare(session);
    SweepRun run{nullptr, {}, {}};
    {
        PropertyWrites writes;
        if (record) sweep.Record(); else sweep.FailAt(position);
        EXPECT_EQ(scenario.run(session.Handle()), 0u);
        run.writes = writes.Writes();
    }
    if (!record) run.fault = &sweep.Fault();
    run.records = log.Records();
    return run;
}

std::string Describe(const InjectedFault& fault) {
    return "call " + std::to_string(fault.position) + " " + fault.entry + " failing with " + std::to_string(fault.code);
}

}  // namespace

size_t RunSweep(const SweepScenario& scenario) {
    FaultSweep sweep;
    const SweepRun good = RunOnce(scenario, sweep, true, 0);
    const std::vector<std::string> calls = sweep.Calls();
    EXPECT_TRUE(good.records.empty()) << scenario.action << ": the recording run failed: " << good.records.front();
    scenario.check(good);
    const std::string goodState = scenario.state ? scenario.state() : std::string();

    for (size_t position = 0; position < calls.size(); ++position) {
        const SweepRun run = RunOnce(scenario, sweep, false, position);
        const InjectedFault& fault = *run.fault;
        SCOPED_TRACE(scenario.action + ": " + Describe(fault));
        if (!sweep.Injected()) {
            // The run took another way than the recorded one: show where.
            const std::vector<std::string>& now = sweep.Calls();
            size_t same = 0;
            while (same < now.size() && same < calls.size() && now[same] == calls[same]) ++same;
            ADD_FAILURE() << "the run ended before call " << position << " (" << calls[position] << "); it made "
                          << now.size() << " calls, the first " << same << " as recorded, then "
                          << (same < now.size() ? now[same] : std::string("nothing")) << " instead of "
                          << (same < calls.size() ? calls[same] : std::string("nothing"));
        }

        const std::vector<std::string> leaks = Accounting::Leaks();
        for (const std::string& leak : leaks) ADD_FAILURE() << "still held: " << leak;
        if (!leaks.empty()) Accounting::ReleaseLeaks();

        const bool absorbed = scenario.state && run.records.empty() && run.writes == good.writes &&
                              scenario.state() == goodState;
        if (!fault.silent && scenario.silent.count(fault.entry) == 0 && !absorbed) {
            const auto found = scenario.reported.find(fault.entry);
            const int32_t code = found != scenario.reported.end() ? found->second : fault.reported;
            const std::string line = "Code: " + std::to_string(code) + " ";
            bool reported = false;
            for (const std::string& record : run.records) reported |= record.rfind(line, 0) == 0;
            EXPECT_TRUE(reported) << "no failure record \"" << line << "...\" in the log ("
                                  << run.records.size() << " records)";
        }
        scenario.check(run);
    }
    if (scenario.cleanUp) scenario.cleanUp();
    std::printf("[ sweep    ] %s: %zu calls, %zu runs with one failing\n", scenario.action.c_str(), calls.size(),
                calls.size());
    return calls.size();
}

UINT RunKilledChild(const char* variable, size_t at, const std::string& parameters) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    ::SetEnvironmentVariableA(variable, std::to_string(at).c_str());
    ::SetEnvironmentVariableA("CA_KILL_PARAMETERS", parameters.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION child{};
    std::string command = std::string("\"") + exe + "\"";
    const BOOL started =
        ::CreateProcessA(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child);
    ::SetEnvironmentVariableA(variable, nullptr);
    ::SetEnvironmentVariableA("CA_KILL_PARAMETERS", nullptr);
    if (!started) return 0xFFFFFFFF;
    DWORD exitCode = 0xFFFFFFFF;
    if (::WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(child.hProcess, &exitCode);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return exitCode;
}

}  // namespace ca::test
