// The installer log: record layout on disk, appending, writers that meet,
// what a user may plant at its name, and where it goes for LocalSystem.
#include "folders.h"
#include "installer_session.h"
#include "runtime/action_error.h"
#include "runtime/action_scope.h"
#include "runtime/handles.h"
#include "runtime/log.h"
#include "runtime/protected_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

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

std::string TempFolder() { return std::filesystem::path(test::InstallerLog::Path()).parent_path().string() + "\\"; }
std::string ReadAll(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}
void WriteAll(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

// What a user may have put at the log's name: a link to another file (Wine
// shows it as a plain file) and a second name of one.
bool (*const kPlants[])(const std::string& log, const std::string& other) = {
    [](const std::string& log, const std::string& other) { return test::CreateFileLink(log, other); },
    [](const std::string& log, const std::string& other) { return !!CreateHardLinkA(log.c_str(), other.c_str(), nullptr); },
};

TEST(WriteLogLine, NeverWritesThroughWhatIsPlantedAtItsName) {
    test::InstallerSession session;
    const std::string other = TempFolder() + "ca-log-other.txt";
    for (const auto plant : kPlants) {
        test::InstallerLog log;
        WriteAll(other, "someone else's\r\n");
        ASSERT_TRUE(plant(log.Path(), other));
        test::InstallerMessages messages;
        {
            ActionScope scope(session.Handle(), "SetFoldRights");
            ActionError().RecordError("PLANTEDLOGNAME1", 5);
        }
        EXPECT_EQ(ReadAll(other), "someone else's\r\n");
        EXPECT_THAT(messages.Texts(INSTALLMESSAGE_INFO), Contains(HasSubstr("PLANTEDLOGNAME1")));
        test::RemoveFileLink(log.Path());  // never DeleteFileA: it would delete through the link
        DeleteFileA(other.c_str());
    }
}

TEST(WriteLogLine, AReparsePointAtItsNameIsLeftAlone) {
    // Windows opens a link itself and shows it as a reparse point; Wine follows it.
    test::InstallerLog log;
    PlatformOverride reparse(&Platform::GetFileInformationByHandleEx,
                             [](HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
                                 const BOOL ok = ::GetFileInformationByHandleEx(file, type, info, size);
                                 if (type == FileBasicInfo)
                                     static_cast<FILE_BASIC_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                                 return ok;
                             });
    WriteLogLine("not through a reparse point");
    EXPECT_EQ(log.Content(), "");
}

// The process token answers LocalSystem (S-1-5-18); an impersonation token as it is.
BOOL WINAPI ProcessAsLocalSystem(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID info, DWORD size, PDWORD needed) {
    TOKEN_TYPE kind{};
    struct Answer {
        TOKEN_USER user;
        SID sid;
    };
    if (type != TokenUser || !::GetTokenInformation(token, TokenType, &kind, sizeof kind, needed) ||
        kind != TokenPrimary || size < sizeof(Answer))
        return ::GetTokenInformation(token, type, info, size, needed);
    auto* answer = static_cast<Answer*>(info);
    answer->sid = SID{SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    answer->user.User = {&answer->sid, 0};
    return TRUE;
}

std::string g_systemTemp, g_windows, g_reportedAccess, g_createdWith;

TEST(WriteLogLine, LocalSystemWritesToTheSystemsTemporaryFolderOthersToTheirOwn) {
    test::InstallerLog userLog;
    g_systemTemp = TempFolder() + "ca-systemtemp\\";
    ASSERT_TRUE(test::CreateFolders(g_systemTemp.substr(0, g_systemTemp.size() - 1)));
    PlatformOverride system(&Platform::GetTokenInformation, &ProcessAsLocalSystem);
    PlatformOverride systemTemp(&Platform::GetTempPath2W, [](DWORD size, LPWSTR path) -> DWORD {
        return MultiByteToWideChar(CP_ACP, 0, g_systemTemp.c_str(), -1, path, static_cast<int>(size)) - 1;
    });
    EXPECT_EQ(LogFilePath(), g_systemTemp + "kwinst.log");
    WriteLogLine("as LocalSystem");
    EXPECT_EQ(userLog.Content(), "");
    EXPECT_THAT(ReadAll(g_systemTemp + "kwinst.log"), EndsWith("as LocalSystem\r\n"));
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));  // a thread acting for the user
    WriteLogLine("for the user");
    RevertToSelf();
    EXPECT_THAT(userLog.Records(), ElementsAre("for the user"));
    test::RemoveFolderTree(g_systemTemp.substr(0, g_systemTemp.size() - 1));
}

// Without a system temporary folder: the fallback folder reported with
// g_reportedAccess (Wine stores no folder access lists), and the descriptor
// it was created with.
DWORD WINAPI ReportedSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                              PSECURITY_DESCRIPTOR* descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    *owner = *dacl = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(g_reportedAccess.c_str(), 1, descriptor, nullptr))
        return GetLastError();
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

BOOL WINAPI CreateRecordingDescriptor(LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(attributes ? attributes->lpSecurityDescriptor : nullptr, 1,
                                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    g_createdWith = text ? text : "";
    LocalFree(text);
    return ::CreateDirectoryA(path, attributes);
}

constexpr const char* kProtected = "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const struct {
    const char* reported;
    bool plantLink;  // a link to another folder at the fallback's name
    bool used;
} kFallback[] = {
    {kProtected, false, true},
    {"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)(D;;FA;;;AN)", false, true},
    {"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},   // Users own it
    {"O:SYD:P(A;OICI;FA;;;SY)(A;;0x2;;;BU)", false, false},       // Users may add files
    {"O:SYD:P(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)", false, false},  // new files' creators may change them
    {"O:SY", false, false},                                       // no access list
    {kProtected, true, false},
};

TEST(WriteLogLine, LocalSystemWithoutASystemTemporaryFolderUsesOnlyAProtectedOne) {
    test::InstallerLog userLog;
    g_windows = TempFolder() + "ca-windows";
    const std::string fallback = g_windows + "\\Temp\\CustAction", elsewhere = TempFolder() + "ca-elsewhere";
    PlatformOverride system(&Platform::GetTokenInformation, &ProcessAsLocalSystem);
    PlatformOverride noSystemTemp(&Platform::GetTempPath2W, [](DWORD, LPWSTR) -> DWORD { return 0; });
    PlatformOverride windows(&Platform::GetSystemWindowsDirectoryA, [](LPSTR path, UINT size) -> UINT {
        return static_cast<UINT>(lstrlenA(lstrcpynA(path, g_windows.c_str(), static_cast<int>(size))));
    });
    PlatformOverride create(&Platform::CreateDirectoryA, &CreateRecordingDescriptor);
    PlatformOverride security(&Platform::GetSecurityInfo, &ReportedSecurity);
    for (const auto& row : kFallback) {
        SCOPED_TRACE(row.reported);
        ASSERT_TRUE(test::CreateFolders(g_windows + "\\Temp") && test::CreateFolders(elsewhere));
        if (row.plantLink) {
            ASSERT_TRUE(test::CreateFolderLink(fallback, elsewhere));
        }
        g_reportedAccess = row.reported;
        WriteLogLine("as LocalSystem");
        EXPECT_EQ(g_createdWith, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
        EXPECT_EQ(ReadAll(fallback + "\\kwinst.log") != "", row.used);
        EXPECT_EQ(ReadAll(elsewhere + "\\kwinst.log"), "");
        EXPECT_EQ(userLog.Content(), "");
        test::RemoveFolderTree(g_windows);
    }
    test::RemoveFolderTree(elsewhere);
}

}  // namespace
}  // namespace ca
