#include "diag/trace_protocol.h"

#include "diag/error_info.h"
#include "diag/trace_slots.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace ca {
namespace {

const SYSTEMTIME kClock{2024, 3, 4, 7, 9, 5, 4, 42};
void WINAPI FixedLocalTime(LPSYSTEMTIME time) { *time = kClock; }
DWORD WINAPI FixedTick() { return 100000; }

const std::string kDay = "TP 2024.03.07 (CURRENT DATE)\r\n";
const std::string kPrefix = "TP 07-09:05:04.042 ";
const std::string kFullStamp = "2024.03.07-09:05:04.042";
const std::string kRule = std::string(60, '=') + "\r\n";

std::string Header(uint64_t position) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(position >> (8 * i));
    return out;
}

uint64_t StoredPosition(const std::string& ring) {
    uint64_t position = 0;
    for (int i = 7; i >= 0 && ring.size() >= 8; --i)
        position = (position << 8) | static_cast<unsigned char>(ring[i]);
    return position;
}

TraceProtocolSettings Settings(uint64_t maxRing = 1 << 20, const char* name = "TP") {
    TraceProtocolSettings settings;
    settings.name = name;
    settings.maxRingSize = maxRing;
    settings.protocolFile = {true, 200, 5};
    settings.ringFile = {true, 200, 5};
    return settings;
}

// A protocol file and a ring file in a scratch folder, with a fixed clock.
class TraceFiles : public ::testing::Test {
protected:
    std::unique_ptr<TraceProtocol> Open(uint64_t maxRing = 1 << 20, const char* name = "TP") {
        return TraceProtocol::Open(protocolPath, ringPath, Settings(maxRing, name));
    }
    // Without a name, entries written without stamp are the bare texts.
    std::unique_ptr<TraceProtocol> OpenNameless(uint64_t maxRing = 1 << 20) {
        return Open(maxRing, "");
    }
    std::string Protocol() const { return test::ReadWholeFile(protocolPath); }
    std::string Ring() const { return test::ReadWholeFile(ringPath); }

    test::ScratchFolder folder;
    const std::string protocolPath = folder.File("trace.log");
    const std::string ringPath = folder.File("trace.ring");
    PlatformOverride<decltype(&::GetLocalTime)> clock{&Platform::GetLocalTime, &FixedLocalTime};
};

TEST(TraceProtocol, NotRunningWritesAndReadsNothing) {
    auto protocol = TraceProtocol::Open("", "", Settings());
    EXPECT_FALSE(protocol->IsRunning());
    EXPECT_EQ(protocol->WriteEntry("text"), 6u);
    EXPECT_EQ(protocol->WriteEntry("text", true, nullptr, true), 6u);
    std::string out = "stale";
    EXPECT_EQ(protocol->GetCurrentTrace(65535, out, true), 6u);
    EXPECT_EQ(out, "CURRENT TRACE is not running.\r\n");
    EXPECT_EQ(protocol->GetCurrentTrace(0, out, true), 0u);
    EXPECT_EQ(out, "CURRENT TRACE is not running.\r\n");
}

TEST_F(TraceFiles, EntriesReachBothFilesAndReadBack) {
    auto protocol = Open();
    EXPECT_TRUE(protocol->IsRunning());
    EXPECT_EQ(protocol->WriteEntry("one\r\ntwo\r\n"), 0u);
    EXPECT_EQ(protocol->WriteEntry("three"), 0u);
    const std::string text = kDay + kPrefix + "one\r\n  two\r\n" + kPrefix + "three";
    EXPECT_EQ(Protocol(), text);
    EXPECT_EQ(Ring(), Header(8 + text.size()) + text);

    std::string out;
    EXPECT_EQ(protocol->GetCurrentTrace(65535, out, true), 0u);
    EXPECT_EQ(out, "CURRENT TRACE>>\r\n" + text + "CURRENT TRACE<<\r\n");
    EXPECT_EQ(protocol->GetCurrentTrace(5, out, false), 0u);
    EXPECT_EQ(out, "three");
    EXPECT_EQ(protocol->GetCurrentTrace(0, out, true), 0u);
    EXPECT_EQ(out, "CURRENT TRACE is OFF.\r\n");
}

TEST_F(TraceFiles, PositionedEntriesGoToTheProtocolFileOnly) {
    auto protocol = OpenNameless();
    ASSERT_EQ(protocol->WriteEntry("0123456789", false), 0u);
    uint64_t position = 3;
    EXPECT_EQ(protocol->WriteEntry("ab", true, &position), 0u);
    EXPECT_EQ(position, 5u);
    EXPECT_EQ(protocol->WriteEntry("cd", true, &position), 0u);
    EXPECT_EQ(position, 7u);
    EXPECT_EQ(Protocol(), "012abcd789");
    EXPECT_EQ(Ring(), Header(18) + "0123456789");
}

TEST_F(TraceFiles, BufferedEntriesWaitForFlushOrCurrentTrace) {
    PlatformOverride tick(&Platform::GetTickCount, &FixedTick);
    auto protocol = Open();
    EXPECT_EQ(protocol->WriteEntry("held\r\n", true, nullptr, true), 0u);
    EXPECT_EQ(Protocol(), kDay);  // the day change went out at once
    std::string out;
    EXPECT_EQ(protocol->GetCurrentTrace(65535, out, false), 0u);
    EXPECT_EQ(out, kDay + kPrefix + "held\r\n");
    EXPECT_EQ(Protocol(), kDay + kPrefix + "held\r\n");
}

TEST_F(TraceFiles, RingWithoutValidPositionIsWrittenFromOffset8) {
    for (uint64_t stored : {uint64_t{3}, uint64_t{1000}}) {
        test::WriteWholeFile(ringPath, Header(stored) + "old text here");
        auto protocol = OpenNameless();
        ASSERT_EQ(protocol->WriteEntry("new", false), 0u);
        EXPECT_EQ(Ring(), Header(11) + "new text here") << stored;
        // Newest text last, older text in front of it.
        std::string out;
        EXPECT_EQ(protocol->GetCurrentTrace(100, out, false), 0u);
        EXPECT_EQ(out, " text herenew");
    }
}

TEST_F(TraceFiles, RingWrapsExactlyAtTheMaximumAndReadsAcrossTheWrap) {
    auto protocol = OpenNameless(40);
    const std::string a(10, 'A'), b(10, 'B'), c(10, 'C'), d(10, 'D'), f(22, 'F');
    for (const auto* text : {&a, &b, &c}) ASSERT_EQ(protocol->WriteEntry(*text, false), 0u);
    EXPECT_EQ(Ring(), Header(38) + a + b + c);
    // 38 + 10 passes 40: the file is cut at 38 (nothing to cut) and D goes to 8.
    ASSERT_EQ(protocol->WriteEntry(d, false), 0u);
    EXPECT_EQ(Ring(), Header(18) + d + b + c);
    std::string out;
    EXPECT_EQ(protocol->GetCurrentTrace(25, out, false), 0u);
    EXPECT_EQ(out, std::string(5, 'B') + c + d);
    EXPECT_EQ(protocol->GetCurrentTrace(1000, out, false), 0u);
    EXPECT_EQ(out, b + c + d);
    // 18 + 22 reaches 40 exactly: cut at 18, F goes to 8.
    ASSERT_EQ(protocol->WriteEntry(f, false), 0u);
    EXPECT_EQ(Ring(), Header(30) + f);
    // One byte less than the room left stays in place.
    ASSERT_EQ(protocol->WriteEntry("123456789", false), 0u);
    EXPECT_EQ(Ring(), Header(39) + f + "123456789");
}

TEST_F(TraceFiles, ProtocolWriteFailureClosesItAndLeavesTheStopLineInTheRing) {
    static int calls;
    calls = 0;
    auto protocol = Open();
    {
        PlatformOverride failFirst(&Platform::WriteFile,
                                   [](HANDLE h, LPCVOID data, DWORD n, LPDWORD done,
                                      LPOVERLAPPED o) -> BOOL {
                                       if (++calls == 1) {
                                           ::SetLastError(ERROR_DISK_FULL);
                                           return FALSE;
                                       }
                                       return ::WriteFile(h, data, n, done, o);
                                   });
        EXPECT_EQ(protocol->WriteEntry("entry\r\n", false), 0u);  // the ring still runs
    }
    EXPECT_FALSE(protocol->IsProtocolFileOpen());
    EXPECT_TRUE(protocol->IsRunning());
    EXPECT_EQ(protocol->LastError(), 112u);
    const std::string stop = "\r\nSTOP PROTOCOL " + kFullStamp + " TP (real)(error=112 (0x70)) \r\n";
    EXPECT_EQ(Ring().substr(8), stop + "TP entry\r\n");
    EXPECT_EQ(protocol->WriteEntry("more\r\n", false), 0u);
    EXPECT_EQ(Protocol(), "");
    // Stopping now hides the stop line from the closed protocol file.
    protocol->StopProtocol(true);
    EXPECT_EQ(Ring().substr(8), stop + "TP entry\r\nTP more\r\nSTOP PROTOCOL " + kFullStamp +
                                    " TP (hide)\r\n" + kRule);
    EXPECT_FALSE(protocol->IsRunning());
}

TEST_F(TraceFiles, GeneratedStopWritesPendingAndStopLineThenEverythingEnds) {
    PlatformOverride tick(&Platform::GetTickCount, &FixedTick);
    auto protocol = Open();
    ASSERT_EQ(protocol->WriteEntry("held\r\n", true, nullptr, true), 0u);
    protocol->StopProtocol(true);
    const std::string text =
        kDay + kPrefix + "held\r\nSTOP PROTOCOL " + kFullStamp + " TP (gen)\r\n" + kRule;
    EXPECT_EQ(Protocol(), text);
    EXPECT_EQ(Ring().substr(8), text);
    EXPECT_FALSE(protocol->IsRunning());
    EXPECT_FALSE(protocol->IsProtocolFileOpen());
    EXPECT_EQ(protocol->WriteEntry("late"), 6u);
    std::string out;
    EXPECT_EQ(protocol->GetCurrentTrace(65535, out, true), 6u);
    EXPECT_EQ(out, "CURRENT TRACE is not running.\r\n");
}

TEST_F(TraceFiles, RealStopKeepsTheRingRunning) {
    auto protocol = Open();
    ASSERT_EQ(protocol->WriteEntry("a\r\n", false), 0u);
    protocol->StopProtocol(false);
    const std::string text = "TP a\r\n\r\nSTOP PROTOCOL " + kFullStamp + " TP (real)\r\n";
    EXPECT_EQ(Protocol(), text);
    EXPECT_FALSE(protocol->IsProtocolFileOpen());
    EXPECT_TRUE(protocol->IsRunning());
    EXPECT_EQ(protocol->WriteEntry("b\r\n", false), 0u);
    EXPECT_EQ(Ring().substr(8), text + "TP b\r\n");
    EXPECT_EQ(Protocol(), text);
}

// Sleep calls of the lock waits, observed.
struct SleepLog {
    static inline int calls = 0;
    static inline DWORD lastInterval = 0;
    static void WINAPI Sleep(DWORD ms) {
        ++calls;
        lastInterval = ms;
        ::Sleep(ms);
    }
};

TEST_F(TraceFiles, HeldRingHeaderTimesOutAndDropsTheText) {
    auto protocol = OpenNameless();
    HANDLE other = ::CreateFileA(ringPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, 8, 0, &at));
    SleepLog::calls = 0;
    {
        PlatformOverride sleep(&Platform::Sleep, &SleepLog::Sleep);
        EXPECT_EQ(protocol->WriteEntry("x\r\n", false), 0u);
        EXPECT_GT(SleepLog::calls, 0);
        EXPECT_EQ(SleepLog::lastInterval, 5u);
        std::string out;
        EXPECT_EQ(protocol->GetCurrentTrace(100, out, true), 0u);
        EXPECT_EQ(out, "CURRENT TRACE has error: 0.\r\n");  // nothing read in time
    }
    EXPECT_EQ(Protocol(), "x\r\n");
    EXPECT_EQ(Ring(), "");
    ::UnlockFileEx(other, 0, 8, 0, &at);
    ::CloseHandle(other);
    EXPECT_EQ(protocol->WriteEntry("y\r\n", false), 0u);
    EXPECT_EQ(Ring(), Header(11) + "y\r\n");
}

TEST_F(TraceFiles, HeldProtocolRegionTimesOutAndWritesWithoutTheLock) {
    auto protocol = OpenNameless();
    HANDLE other = ::CreateFileA(protocolPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    // Holds the bytes past the text the append locks in addition to it.
    OVERLAPPED at{};
    at.Offset = 4;
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0, &at));
    SleepLog::calls = 0;
    {
        PlatformOverride sleep(&Platform::Sleep, &SleepLog::Sleep);
        EXPECT_EQ(protocol->WriteEntry("abc", false), 0u);
        EXPECT_GT(SleepLog::calls, 0);
    }
    EXPECT_EQ(Protocol(), "abc");
    EXPECT_EQ(Ring(), Header(11) + "abc");
    ::UnlockFileEx(other, 0, 100, 0, &at);
    ::CloseHandle(other);
}

TEST_F(TraceFiles, SystemWithoutRegionLocksSwitchesLockingOff) {
    static int lockCalls;
    lockCalls = 0;
    PlatformOverride noLocks(&Platform::LockFileEx,
                             [](HANDLE, DWORD, DWORD, DWORD, DWORD, LPOVERLAPPED) -> BOOL {
                                 ++lockCalls;
                                 ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
                                 return FALSE;
                             });
    auto protocol = OpenNameless();
    EXPECT_EQ(protocol->WriteEntry("a", false), 0u);
    EXPECT_EQ(lockCalls, 2);  // once per file, then never again
    EXPECT_EQ(protocol->WriteEntry("b", false), 0u);
    EXPECT_EQ(lockCalls, 2);
    EXPECT_EQ(Protocol(), "ab");
}

TEST_F(TraceFiles, OtherLockErrorsFailTheWrite) {
    PlatformOverride badLocks(&Platform::LockFileEx,
                              [](HANDLE, DWORD, DWORD, DWORD, DWORD, LPOVERLAPPED) -> BOOL {
                                  ::SetLastError(ERROR_ACCESS_DENIED);
                                  return FALSE;
                              });
    auto protocol = Open();
    // Both files fail: the protocol stops and reports the protocol-file error.
    EXPECT_EQ(protocol->WriteEntry("a", false), 5u);
    EXPECT_FALSE(protocol->IsRunning());
    EXPECT_FALSE(protocol->IsProtocolFileOpen());
    EXPECT_EQ(protocol->LastError(), 5u);
}

// --- The trace slots, fed by error records --------------------------------

TEST_F(TraceFiles, RecordEchoAndSnapshotThroughSlotOne) {
    auto protocol = Open();
    AttachTraceProtocol(1, protocol.get());
    ErrorInfo record;
    record.AddErrTextExt("abc");
    record.AddErrPoint("P0");  // echoed while clean, not recorded
    record.SetErr("P1", 0, "Broken");
    record.SetErrText("Again");
    DetachTraceProtocol(1);
    record.AddErrPoint("P2");  // no slot: nothing written

    ErrorData data;
    record.CopyErrTo(data);
    const std::string before = kDay + kPrefix + "ERRORINFO>> AddErrTextExt:\r\n  abc\r\n" + kPrefix +
                               "ERRORINFO>> AddErrPoint(P0)\r\n";
    EXPECT_EQ(data.traceSnapshot, "CURRENT TRACE>>\r\n" + before + "CURRENT TRACE<<\r\n");
    const std::string dump = FormatErrDumpLayout("P1", 0, "Broken", "", FormatFileTime(&data.time),
                                                 FormatGmtOffset());
    const std::string text = before + kPrefix + IndentTraceBody("ERRORINFO>>\r\n" + dump) +
                             kPrefix + "ERRORINFO>> SetErrText(Again)\r\n";
    EXPECT_EQ(Protocol(), text);
    EXPECT_EQ(Ring().substr(8), text);
    EXPECT_EQ(data.point, "P2:P1");
}

TEST_F(TraceFiles, SlotTwoIsWrittenButGivesNoSnapshotAndQuietRecordsStaySilent) {
    auto protocol = Open();
    AttachTraceProtocol(2, protocol.get());
    ErrorInfo quiet(true);
    quiet.SetErr("Q1", 5, "quiet");
    quiet.AddErrTextExt("quiet");
    EXPECT_EQ(Protocol(), "");

    ErrorInfo record;
    record.SetErr("P1", 0, "loud");
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.traceSnapshot, "");
    EXPECT_NE(Protocol().find(kPrefix + "ERRORINFO>>\r\n  Text : loud\r\n"), std::string::npos);
    protocol.reset();  // a destroyed protocol leaves its slot
    EXPECT_EQ(AttachedTraceProtocol(2), nullptr);
}

TEST_F(TraceFiles, FailingWriteEmptiesTheSlots) {
    auto protocol = TraceProtocol::Open(protocolPath, "", Settings());  // no ring
    AttachTraceProtocol(1, protocol.get());
    AttachTraceProtocol(2, protocol.get());
    ErrorInfo record;
    {
        PlatformOverride failing(&Platform::WriteFile,
                                 [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
                                     ::SetLastError(ERROR_DISK_FULL);
                                     return FALSE;
                                 });
        record.AddErrPoint("P");
    }
    EXPECT_EQ(AttachedTraceProtocol(1), nullptr);
    EXPECT_EQ(AttachedTraceProtocol(2), nullptr);
    EXPECT_EQ(protocol->LastError(), 112u);
    // A stopped protocol in slot 1 gives its banner as snapshot and is dropped.
    AttachTraceProtocol(1, protocol.get());
    record.SetErr("P1", 0, "x");
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.traceSnapshot, "CURRENT TRACE is not running.\r\n");
    EXPECT_EQ(AttachedTraceProtocol(1), nullptr);
}

// --- Several processes on one protocol ----------------------------------------

constexpr int kWriters = 3;
constexpr int kEntriesPerWriter = 150;
constexpr char kChildVariable[] = "CA_DIAG_TRACE_CHILD";

std::string EntryText(int writer, int seq) {
    return "W" + std::to_string(writer) + "-" + std::to_string(seq) + "-" +
           std::string(20 + seq % 40, static_cast<char>('a' + writer)) + "\r\n";
}

void RunWriter(int writer, const std::string& protocolPath, const std::string& ringPath) {
    TraceProtocolSettings settings;
    settings.name = "X" + std::to_string(writer);
    settings.maxRingSize = 4 << 20;
    settings.protocolFile = {true, 30000, 1};
    settings.ringFile = {true, 30000, 1};
    auto protocol = TraceProtocol::Open(protocolPath, ringPath, settings);
    for (int seq = 0; seq < kEntriesPerWriter; ++seq)
        ASSERT_EQ(protocol->WriteEntry(EntryText(writer, seq)), 0u);
}

// Entry point of the writer processes the test below starts.
TEST(TraceCrossProcess, DISABLED_ChildWriter) {
    char value[2048] = {};
    if (::GetEnvironmentVariableA(kChildVariable, value, sizeof value) == 0) GTEST_SKIP();
    const std::string job = value;  // "writer|start event|protocol|ring"
    const size_t first = job.find('|'), second = job.find('|', first + 1),
                 third = job.find('|', second + 1);
    // All writers start together, so that their writes overlap.
    const std::string eventName = job.substr(first + 1, second - first - 1);
    HANDLE start = ::OpenEventA(SYNCHRONIZE, FALSE, eventName.c_str());
    HANDLE ready = ::OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (eventName + "_ready").c_str());
    ASSERT_NE(start, nullptr);
    ASSERT_NE(ready, nullptr);
    ::ReleaseSemaphore(ready, 1, nullptr);
    ::CloseHandle(ready);
    ASSERT_EQ(::WaitForSingleObject(start, 60000), WAIT_OBJECT_0);
    ::CloseHandle(start);
    RunWriter(std::stoi(job.substr(0, first)), job.substr(second + 1, third - second - 1),
              job.substr(third + 1));
}

// Counts every entry of every writer; returns the first line that is not an
// entry or a day-change line (empty when there is none).
std::string CountEntries(const std::string& text, std::map<std::pair<int, int>, int>& seen) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return text.substr(start);
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line.size() < 3 || line[0] != 'X') return line;
        const int writer = line[1] - '0';
        if (line.find(" (CURRENT DATE)") != std::string::npos) continue;
        const size_t w = line.find(" W" + std::to_string(writer) + "-");
        if (w == std::string::npos) return line;
        const int seq = std::atoi(line.c_str() + w + 4);
        if (line.substr(w + 1) + "\r\n" != EntryText(writer, seq)) return line;
        ++seen[{writer, seq}];
    }
    return std::string();
}

TEST(TraceCrossProcess, ProcessesShareOneProtocolWithoutLosingOrTearingEntries) {
    test::ScratchFolder folder;
    const std::string protocolPath = folder.File("shared.log");
    const std::string ringPath = folder.File("shared.ring");
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe +
                          "\" --gtest_also_run_disabled_tests "
                          "--gtest_filter=TraceCrossProcess.DISABLED_ChildWriter";

    const std::string eventName = "ca_diag_start_" + std::to_string(::GetCurrentProcessId());
    HANDLE start = ::CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    HANDLE ready = ::CreateSemaphoreA(nullptr, 0, kWriters, (eventName + "_ready").c_str());
    ASSERT_NE(start, nullptr);
    ASSERT_NE(ready, nullptr);

    std::vector<PROCESS_INFORMATION> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        const std::string job =
            std::to_string(writer) + "|" + eventName + "|" + protocolPath + "|" + ringPath;
        ::SetEnvironmentVariableA(kChildVariable, job.c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        ASSERT_TRUE(::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     nullptr, &startup, &child));
        children.push_back(child);
    }
    ::SetEnvironmentVariableA(kChildVariable, nullptr);
    for (int writer = 0; writer < kWriters; ++writer)
        EXPECT_EQ(::WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
    ::SetEvent(start);
    for (const auto& child : children) {
        EXPECT_EQ(::WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        ::GetExitCodeProcess(child.hProcess, &exitCode);
        EXPECT_EQ(exitCode, 0u);
        ::CloseHandle(child.hThread);
        ::CloseHandle(child.hProcess);
    }
    ::CloseHandle(start);
    ::CloseHandle(ready);

    for (const std::string& text :
         {test::ReadWholeFile(protocolPath), test::ReadWholeFile(ringPath).substr(8)}) {
        std::map<std::pair<int, int>, int> seen;
        EXPECT_EQ(CountEntries(text, seen), "");
        EXPECT_EQ(seen.size(), size_t{kWriters} * kEntriesPerWriter);
        for (const auto& [entry, count] : seen) EXPECT_EQ(count, 1);
    }
    const std::string ring = test::ReadWholeFile(ringPath);
    EXPECT_EQ(StoredPosition(ring), ring.size());
}

}  // namespace
}  // namespace ca
