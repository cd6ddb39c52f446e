// The installer log: record layout on disk, appending, and writers that meet.
#include "installer_session.h"
#include "runtime/handles.h"
#include "runtime/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

using ::testing::ElementsAre;

namespace ca {
namespace {

constexpr const char* kStartEvent = "Local\\ca-log-writers-start";
constexpr int kRecordsPerWriter = 400;

std::string WriterText(int writer, int seq) {
    // Long records make a torn or interleaved write easy to see.
    return "writer " + std::to_string(writer) + " record " + std::to_string(seq) + " " +
           std::string(300, static_cast<char>('a' + writer));
}

// A copy of this executable started with CA_LOG_WRITER=<id> only writes log
// records, as soon as the start event is set, and exits.
const int g_writerMode = [] {
    const char* id = std::getenv("CA_LOG_WRITER");
    if (id == nullptr) return 0;
    const int writer = std::atoi(id);
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, kStartEvent);
    if (start) WaitForSingleObject(start, 30000);
    for (int i = 0; i < kRecordsPerWriter; ++i) WriteLogLine(WriterText(writer, i));
    ExitProcess(0);
    return 1;
}();

TEST(WriteLogLine, CreatesThenAppendsStampedRecords) {
    test::InstallerLog log;
    WriteLogLine("first");
    WriteLogLine("");
    WriteLogLine("ends with a line end\r\n");
    WriteLogLine("two\r\nlines");
    const std::string content = log.Content();
    static const std::regex layout(
        R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d  first\r\n)"
        R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d  \r\n)"
        R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d  ends with a line end\r\n)"
        R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d  two\r\nlines\r\n)");
    EXPECT_TRUE(std::regex_match(content, layout)) << content;
}

TEST(WriteLogLine, KeepsWhatTheFileHeld) {
    test::InstallerLog log;
    {
        UniqueFile f(CreateFileA(log.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(f);
        DWORD written = 0;
        WriteFile(f.Get(), "earlier\r\n", 9, &written, nullptr);
    }
    WriteLogLine("later");
    const std::string content = log.Content();
    EXPECT_EQ(content.substr(0, 9), "earlier\r\n");
    EXPECT_EQ(content.substr(content.size() - 7), "later\r\n");
}

TEST(WriteLogLine, DropsTheRecordWhileAnotherWriterHoldsTheFile) {
    test::InstallerLog log;
    WriteLogLine("before");
    const std::string before = log.Content();
    {
        UniqueFile holder(CreateFileA(log.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, 0, nullptr));
        ASSERT_TRUE(holder);
        WriteLogLine("dropped");
    }
    EXPECT_EQ(log.Content(), before);
    WriteLogLine("after");
    EXPECT_THAT(log.Records(), ElementsAre("before", "after"));
}

TEST(WriteLogLine, NoTemporaryFolderDropsTheRecord) {
    test::InstallerLog log;
    PlatformOverride noTemp(&Platform::GetTempPathA, [](DWORD, LPSTR) -> DWORD { return 0; });
    WriteLogLine("nowhere");
    EXPECT_EQ(log.Content(), "");
}

TEST(WriteLogLine, TwoProcessesNeverTearOrInterleaveRecords) {
    test::InstallerLog log;
    UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    ASSERT_TRUE(start);
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    PROCESS_INFORMATION children[2] = {};
    for (int writer = 0; writer < 2; ++writer) {
        SetEnvironmentVariableA("CA_LOG_WRITER", std::to_string(writer + 1).c_str());
        STARTUPINFOA si{};
        si.cb = sizeof si;
        std::string cmd = std::string("\"") + exe + "\"";
        ASSERT_TRUE(CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &si, &children[writer]));
    }
    SetEnvironmentVariableA("CA_LOG_WRITER", nullptr);
    Sleep(500);  // both writers are waiting for the start
    SetEvent(start.Get());
    for (auto& child : children) {
        EXPECT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    // Every record on disk is one whole record of one writer; each writer's
    // records keep their order; those that met a held file are missing.
    const auto records = log.Records();
    int next[3] = {0, 0, 0};
    int kept[3] = {0, 0, 0};
    for (const auto& text : records) {
        const int writer = text.size() > 7 ? text[7] - '0' : 0;
        ASSERT_TRUE(writer == 1 || writer == 2) << text;
        const int seq = std::atoi(text.c_str() + text.find("record ") + 7);
        ASSERT_EQ(text, WriterText(writer, seq));
        ASSERT_GE(seq, next[writer]);
        next[writer] = seq + 1;
        ++kept[writer];
    }
    EXPECT_GT(kept[1], 0);
    EXPECT_GT(kept[2], 0);
    EXPECT_LE(kept[1] + kept[2], 2 * kRecordsPerWriter);
    RecordProperty("records_kept", kept[1] + kept[2]);
}

}  // namespace
}  // namespace ca
