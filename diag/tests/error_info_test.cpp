#include "diag/error_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ca {
namespace {

std::string SystemText(DWORD code) {
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(0x13FF, nullptr, code, 0x400,
                                          reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = buffer ? std::string(buffer, length) : std::string();
    if (buffer) ::LocalFree(buffer);
    return text;
}

bool IsZero(const FILETIME& t) { return t.dwLowDateTime == 0 && t.dwHighDateTime == 0; }

TEST(ErrorInfo, FreshRecordIsCleanAndIgnoresPointAndText) {
    ErrorInfo record;
    EXPECT_TRUE(record.IsClean());
    EXPECT_FALSE(record.HasErr());
    record.AddErrPoint("P2");
    record.SetErrText("text");
    EXPECT_FALSE(record.HasErr());
    EXPECT_EQ(record.GetErrText(), "");
    EXPECT_EQ(record.FormatErrDump(), "");
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.point, "");
    EXPECT_TRUE(IsZero(data.time));
}

TEST(ErrorInfo, PointChainReadsOutermostFirst) {
    ErrorInfo record;
    record.SetErr("P1", 5, "text");
    EXPECT_FALSE(record.IsClean());
    record.AddErrPoint("P2");
    record.AddErrPoint("");
    record.AddErrPoint(nullptr);
    record.AddErrPoint("P3");
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.point, "P3:P2:P1");
    // A new failure starts a new chain.
    record.SetErr("Q1", 5, "text");
    record.CopyErrTo(data);
    EXPECT_EQ(data.point, "Q1");
}

TEST(ErrorInfo, ExtendedTextLinesBeforeAndAfterSetErr) {
    ErrorInfo record;
    record.AddErrTextExt("before");  // kept while clean, replaced by SetErr
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.extText, "before\r\n");

    record.SetErr("P1", 0, "t", "given\r\n");
    record.AddErrTextExt("abc");
    record.AddErrTextExt("done\r\n");
    record.AddErrTextExt("");
    record.AddErrTextExt(static_cast<const char*>(nullptr));
    record.CopyErrTo(data);
    EXPECT_EQ(data.extText, "given\r\nabc\r\ndone\r\n");
}

TEST(ErrorInfo, SetErrTextReplacesOnlyARecordedText) {
    ErrorInfo record;
    record.SetErr("P1", 0, "first");
    record.SetErrText("second");
    record.SetErrText("");
    EXPECT_EQ(record.GetErrText(), "second");
}

TEST(ErrorInfo, EmptyTextTakesTheSystemMessage) {
    ErrorInfo record;
    record.SetErr("P1", 5);
    const std::string expected = SystemText(5);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(record.GetErrText(), expected);
    EXPECT_EQ(record.GetErrText().find_first_of("\r\n"), std::string::npos);

    record.SetErr("P1", 0);
    EXPECT_EQ(record.GetErrText(), "");
    EXPECT_EQ(record.FormatErrDump().substr(0, 9), "Text : \r\n");
}

TEST(ErrorInfo, DumpLayout) {
    ErrorInfo record;
    record.SetErr("P1", -1, "Broken", "line\r\n", 7, "aux");
    record.AddErrPoint("P2");
    ErrorData data;
    record.CopyErrTo(data);
    const std::string timeLine = "Time : " + FormatFileTime(&data.time) + " " + FormatGmtOffset();
    EXPECT_EQ(record.FormatErrDump(), "Text : Broken\r\nCode : -1 (0xFFFFFFFF)\r\n" + timeLine +
                                          "\r\nPoint: P2:P1\r\nExt  :\r\nline\r\n");
    // An empty point means no error, and no dump.
    record.SetErr("", 5, "text");
    EXPECT_FALSE(record.HasErr());
    EXPECT_FALSE(record.IsClean());
    EXPECT_EQ(record.FormatErrDump(), "");
}

TEST(ErrorInfo, CopyErrToCopiesTheWholeDataPart) {
    ErrorInfo record;
    FILETIME before{};
    ::GetSystemTimeAsFileTime(&before);
    record.SetErr("P1", 87, "text", "ext\r\n", -3, "aux");
    ErrorData data;
    data.traceSnapshot = "stale";
    record.CopyErrTo(data);
    EXPECT_EQ(data.point, "P1");
    EXPECT_EQ(data.code, 87);
    EXPECT_EQ(data.text, "text");
    EXPECT_EQ(data.extText, "ext\r\n");
    EXPECT_EQ(data.traceSnapshot, "");  // no protocol attached
    EXPECT_EQ(data.auxValue, -3);
    EXPECT_EQ(data.auxText, "aux");
    EXPECT_GE(CompareFileTime(&data.time, &before), 0);
}

TEST(ErrorInfo, FileFailureRecords) {
    FileFailure failure(FileCause::NotFound, ERROR_FILE_NOT_FOUND, "C:\\missing\\opt.dat");
    EXPECT_EQ(FileExceptionText(&failure), "");
    EXPECT_EQ(FileExceptionText(nullptr), "");
    EXPECT_EQ(FormatFileException(nullptr), "STRG: [NULL]\r\n");
    const std::string lines = "FE:cause=2 []\r\nFE:error=2 [" + SystemText(2) +
                              "]\r\nFE:file=[C:\\missing\\opt.dat]\r\n";
    EXPECT_EQ(FormatFileException(&failure), lines);

    ErrorInfo record;
    record.SetErrFileException("P1", nullptr, "text");
    EXPECT_TRUE(record.IsClean());

    record.SetErrFileException("P1", &failure, "Cannot read", "more\r\n");
    ErrorData data;
    record.CopyErrTo(data);
    EXPECT_EQ(data.code, 2);  // the system error, not the cause
    EXPECT_EQ(data.text, "Cannot read\r\n");
    EXPECT_EQ(data.extText, lines + "more\r\n");

    record.SetErrFileException("P2", &failure);
    record.CopyErrTo(data);
    EXPECT_EQ(data.text, SystemText(2));
    EXPECT_EQ(data.extText, lines);
}

TEST(ErrorText, OsErrorText) {
    static int calls = 0;
    PlatformOverride counting(&Platform::FormatMessageA,
                              [](DWORD f, LPCVOID s, DWORD id, DWORD l, LPSTR b, DWORD n,
                                 va_list* a) -> DWORD {
                                  ++calls;
                                  return ::FormatMessageA(f, s, id, l, b, n, a);
                              });
    EXPECT_EQ(OsErrorText(0), "");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(OsErrorText(5), SystemText(5));
    EXPECT_EQ(OsErrorText(static_cast<int32_t>(0x80004003)), SystemText(0x80004003));
    EXPECT_EQ(calls, 2);
}

TEST(ErrorText, FileTimeAndOffset) {
    EXPECT_EQ(FormatFileTime(nullptr), "");
    const FILETIME zero{};
    EXPECT_EQ(FormatFileTime(&zero), "");

    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::string full = FormatFileTime(&now);
    const size_t blank = full.find(' ');
    ASSERT_NE(blank, std::string::npos);
    {
        PlatformOverride noDate(&Platform::GetDateFormatA,
                                [](LCID, DWORD, const SYSTEMTIME*, LPCSTR, LPSTR buffer,
                                   int) -> int {
                                    if (buffer) buffer[0] = 'X';  // junk that must not show
                                    return 0;
                                });
        EXPECT_EQ(FormatFileTime(&now), full.substr(blank + 1));
    }
    {
        PlatformOverride noTime(&Platform::GetTimeFormatA,
                                [](LCID, DWORD, const SYSTEMTIME*, LPCSTR, LPSTR, int) -> int {
                                    return 0;
                                });
        EXPECT_EQ(FormatFileTime(&now), full.substr(0, blank));
    }
    {
        PlatformOverride failed(&Platform::GetTimeZoneInformation,
                                [](LPTIME_ZONE_INFORMATION) -> DWORD { return 0xFFFFFFFF; });
        EXPECT_EQ(FormatGmtOffset(), "(GMT-166:39)");
    }
    {
        PlatformOverride nepal(&Platform::GetTimeZoneInformation,
                               [](LPTIME_ZONE_INFORMATION zone) -> DWORD {
                                   *zone = {};
                                   zone->Bias = -345;
                                   zone->DaylightBias = -60;  // not applied
                                   return TIME_ZONE_ID_DAYLIGHT;
                               });
        EXPECT_EQ(FormatGmtOffset(), "(GMT+5:45)");
    }
}

TEST(ErrorText, RegistryHandles) {
    EXPECT_EQ(RootKeyName(HKEY_LOCAL_MACHINE), "HKLM");
    EXPECT_EQ(FormatRootKeyLine(HKEY_CURRENT_USER), "HKEY: HKCU\r\n");
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), 0);
    const auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    EXPECT_EQ(RootKeyName(key), "");
    EXPECT_EQ(FormatRootKeyLine(key), FormatRootKeyLine(value));
    ::RegCloseKey(key);
}

TEST(ErrorInfo, ModuleRecordExists) {
    ErrorInfo& record = ModuleErrorInfo();
    EXPECT_EQ(&record, &ModuleErrorInfo());
    record.SetErr("MODULEPOINT", 0, "x");
    EXPECT_TRUE(record.HasErr());
}

// Writers record failures whose fields all carry the same number; readers
// must never see fields of two different failures together.
TEST(ErrorInfo, ConcurrentUseNeverShowsAHalfWrittenRecord) {
    ErrorInfo record;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> seen{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 3000; ++i) {
                const int k = w * 100000 + i;
                const std::string n = std::to_string(k);
                record.SetErr(("P" + n).c_str(), k, ("T" + n).c_str(), ("E" + n + "\r\n").c_str(),
                              k, ("A" + n).c_str());
                record.AddErrPoint("X");
                record.AddErrTextExt("line");
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            ErrorData data;
            while (!stop.load()) {
                record.CopyErrTo(data);
                if (data.point.empty()) continue;
                ++seen;
                const std::string n = std::to_string(data.code);
                const std::string tail = "P" + n;
                const bool whole =
                    data.text == "T" + n && data.auxText == "A" + n && data.auxValue == data.code &&
                    data.point.size() >= tail.size() &&
                    data.point.compare(data.point.size() - tail.size(), tail.size(), tail) == 0 &&
                    data.extText.rfind("E" + n + "\r\n", 0) == 0 && !IsZero(data.time);
                if (!whole) ++torn;
                const std::string dump = record.FormatErrDump();
                if (dump.rfind("Text : T", 0) != 0) ++torn;
            }
        });
    }
    for (int w = 0; w < 4; ++w) threads[w].join();
    stop = true;
    for (size_t t = 4; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
}  // namespace ca
