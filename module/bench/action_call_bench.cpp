// The fixed cost of an immediate action called through MsiDoActionA: one of
// the module's actions against an empty action in a DLL of the same build,
// both from the Binary table of one package, in one installer session.
// Rounds alternate the two so that both see the same machine.
//
// Usage: action_call_bench.exe PACKAGE [ROUNDS] [ACTION [COMPARISON]]
// (ACTION: the package's action of the module to time, by default
// CA_ReadProductVerPrm, which ends after one property read when no earlier
// version is installed. COMPARISON: the action of the other DLL to time
// against it, by default the empty CA_Empty (for information);
// CA_LookUpWindowAndSetProperty makes the installer and system calls of
// CA_CheckMSWordRunning and nothing else, CA_ReadAndSetVersionProperties
// those of CA_ReadProductVerPrm: against them the goal is that the module
// adds at most 5%.)
// Prints one line per measurement: BENCH <tab> name <tab> ours <tab>
// comparison <tab> ratio <tab> goal <tab> met|missed.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double Now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// Seconds of one MsiDoActionA of `action`; negative when it failed.
double TimeAction(MSIHANDLE session, const char* action) {
    const double start = Now();
    const UINT result = MsiDoActionA(session, action);
    const double elapsed = Now() - start;
    return result == ERROR_SUCCESS ? elapsed : -1.0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PACKAGE [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    const char* action = argc > 3 ? argv[3] : "CA_ReadProductVerPrm";
    const char* comparison = argc > 4 ? argv[4] : "CA_Empty";
    const bool empty = std::strcmp(comparison, "CA_Empty") == 0;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MSIHANDLE session = 0;
    if (MsiOpenPackageA(argv[1], &session) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    // Warm up both: the first call of each pays for starting the action server.
    for (int i = 0; i < 3; ++i) {
        TimeAction(session, action);
        TimeAction(session, comparison);
    }
    std::vector<double> ours, theirs;
    for (int i = 0; i < rounds; ++i) {
        const double a = TimeAction(session, action);
        const double b = TimeAction(session, comparison);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "an action failed in round %d\n", i);
            return 1;
        }
        ours.push_back(a);
        theirs.push_back(b);
    }
    MsiCloseHandle(session);
    const double o = Median(ours) * 1000.0, e = Median(theirs) * 1000.0;
    const double ratio = o / e;
    if (empty)
        std::printf("BENCH\timmediate action %s through MsiDoActionA (median of %d)\t%.3f ms\tempty action %.3f ms\t"
                    "%.2fx\t(information)\t-\n",
                    action + 3, rounds, o, e, ratio);
    else
        std::printf("BENCH\timmediate action %s through MsiDoActionA (median of %d)\t%.3f ms\t%s %.3f ms\t"
                    "%.2fx\t<= 1.05x\t%s\n",
                    action + 3, rounds, o, comparison + 3, e, ratio, ratio <= 1.05 ? "met" : "missed");
    return 0;
}
