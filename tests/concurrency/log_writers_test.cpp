// Two processes writing the installer log at once: no record is torn or
// interleaved, and every record that is missing was dropped because the other
// writer held the file at that moment, which the writers count themselves.
#include "installer_session.h"
#include "runtime/handles.h"
#include "runtime/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace ca {
namespace {

constexpr const char* kStartEvent = "Local\\ca-log-10k-start";
constexpr int kRecordsPerWriter = 10000;

std::string WriterText(int writer, int seq) {
    return "writer " + std::to_string(writer) + " record " + std::to_string(seq) + " " +
           std::string(200, static_cast<char>('a' + writer));
}

std::string CountFile(int writer) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "ca-log-writer-" + std::to_string(writer) + ".txt";
}

// Opens of the log that failed, by cause.
int g_heldByOther = 0, g_otherFailure = 0;
HANDLE WINAPI CountingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                  DWORD disposition, DWORD flags, HANDLE templ) {
    const HANDLE h = ::CreateFileA(name, access, share, sa, disposition, flags, templ);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) ++g_heldByOther; else ++g_otherFailure;
    }
    return h;
}

// A copy of this executable started with CA_LOG_WRITER=<id> writes its
// records as soon as the start event is set, leaves its counts in a file and
// exits.
const int g_writerMode = [] {
    const char* id = std::getenv("CA_LOG_WRITER");
    if (id == nullptr) return 0;
    const int writer = std::atoi(id);
    Os().CreateFileA = &CountingCreateFileA;
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, kStartEvent);
    if (start) WaitForSingleObject(start, 30000);
    for (int i = 0; i < kRecordsPerWriter; ++i) WriteLogLine(WriterText(writer, i));
    std::ofstream(CountFile(writer)) << g_heldByOther << " " << g_otherFailure << "\n";
    ExitProcess(0);
    return 1;
}();

TEST(LogWriters, TenThousandRecordsEachFromTwoProcesses) {
    test::InstallerLog log;
    UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    ASSERT_TRUE(start);
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    PROCESS_INFORMATION children[2] = {};
    for (int writer = 0; writer < 2; ++writer) {
        DeleteFileA(CountFile(writer + 1).c_str());
        SetEnvironmentVariableA("CA_LOG_WRITER", std::to_string(writer + 1).c_str());
        STARTUPINFOA si{};
        si.cb = sizeof si;
        std::string cmd = std::string("\"") + exe + "\"";
        ASSERT_TRUE(CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                   &children[writer]));
    }
    SetEnvironmentVariableA("CA_LOG_WRITER", nullptr);
    Sleep(500);  // both writers wait for the start
    SetEvent(start.Get());
    for (auto& child : children) {
        EXPECT_EQ(WaitForSingleObject(child.hProcess, 300000), WAIT_OBJECT_0);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }

    const auto records = log.Records();
    int next[3] = {0, 0, 0};
    int kept[3] = {0, 0, 0};
    for (const auto& text : records) {
        const int writer = text.size() > 7 ? text[7] - '0' : 0;
        ASSERT_TRUE(writer == 1 || writer == 2) << text.substr(0, 80);
        const int seq = std::atoi(text.c_str() + text.find("record ") + 7);
        ASSERT_EQ(text, WriterText(writer, seq));
        ASSERT_GE(seq, next[writer]);
        next[writer] = seq + 1;
        ++kept[writer];
    }
    int dropped = 0;
    for (int writer = 1; writer <= 2; ++writer) {
        int heldByOther = -1, otherFailure = -1;
        std::ifstream(CountFile(writer)) >> heldByOther >> otherFailure;
        DeleteFileA(CountFile(writer).c_str());
        EXPECT_EQ(otherFailure, 0) << "writer " << writer;
        // What is missing is exactly what met the file held by the other writer.
        EXPECT_EQ(kept[writer], kRecordsPerWriter - heldByOther) << "writer " << writer;
        dropped += heldByOther;
    }
    std::printf("records kept %d of %d, dropped while the other writer held the file %d\n", kept[1] + kept[2],
                2 * kRecordsPerWriter, dropped);
    RecordProperty("records_dropped", dropped);
}

}  // namespace
}  // namespace ca
