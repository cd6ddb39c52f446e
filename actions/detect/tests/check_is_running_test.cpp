// CheckISRunning with the stand-in query.dll of this folder (run-with-standin.sh
// makes Wine prefer it to its own), its variants without an entry point, and
// no library at all.
#include "actions/action.h"
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern "C" UINT __stdcall CheckISRunning(MSIHANDLE);

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace ca {
namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

const char* const kStandInVariables[] = {
    "QUERY_STANDIN_LOCATE_RESULT", "QUERY_STANDIN_MACHINE",      "QUERY_STANDIN_CATALOG",
    "QUERY_STANDIN_MACHINE_SIZE",  "QUERY_STANDIN_CATALOG_SIZE", "QUERY_STANDIN_CISTATE_RESULT",
    "QUERY_STANDIN_LOCATE_CALL",   "QUERY_STANDIN_CISTATE_CALL"};

std::string Variable(const char* name) {
    char buffer[2048] = {};
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Whether query.dll, as the action loads it, is the stand-in of this folder
// rather than the system's.
::testing::AssertionResult StandInPreferred() {
    using Locate = HRESULT(WINAPI*)(const char*, ULONG, char*, ULONG*, char*, ULONG*);
    const HMODULE library = LoadLibraryA("query.dll");
    if (library == nullptr) return ::testing::AssertionFailure() << "no query.dll";
    const auto locate = reinterpret_cast<Locate>(
        reinterpret_cast<void*>(GetProcAddress(library, "LocateCatalogsA")));
    char machine[32] = {}, catalog[522] = {};
    ULONG machineSize = sizeof machine, catalogSize = sizeof catalog;
    SetEnvironmentVariableA("QUERY_STANDIN_LOCATE_CALL", nullptr);
    if (locate != nullptr) locate("\\", 0, machine, &machineSize, catalog, &catalogSize);
    FreeLibrary(library);
    const bool standIn = Variable("QUERY_STANDIN_LOCATE_CALL") != "";
    SetEnvironmentVariableA("QUERY_STANDIN_LOCATE_CALL", nullptr);
    if (standIn) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "query.dll is not the stand-in: run with WINEDLLOVERRIDES=query=n "
              "(run-with-standin.sh)";
}

// What the stand-in answers. Null sizes: the length of the name plus one.
struct Answers {
    const char* locateResult = "0";
    std::string machine = ".";
    std::string catalog = "System";
    const char* machineSize = nullptr;
    const char* catalogSize = nullptr;
    const char* ciStateResult = "0";
};

const int32_t kNoEntryPoint = static_cast<int32_t>(0x80004003);

class CheckISRunningTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearStandIn();
        ASSERT_TRUE(StandInPreferred());
    }
    void TearDown() override { ClearStandIn(); }

    static void ClearStandIn() {
        for (const char* name : kStandInVariables) SetEnvironmentVariableA(name, nullptr);
    }

    static void Answer(const Answers& a) {
        ClearStandIn();
        SetEnvironmentVariableA("QUERY_STANDIN_LOCATE_RESULT", a.locateResult);
        SetEnvironmentVariableA("QUERY_STANDIN_MACHINE", a.machine.c_str());
        SetEnvironmentVariableA("QUERY_STANDIN_CATALOG", a.catalog.c_str());
        SetEnvironmentVariableA("QUERY_STANDIN_MACHINE_SIZE", a.machineSize);
        SetEnvironmentVariableA("QUERY_STANDIN_CATALOG_SIZE", a.catalogSize);
        SetEnvironmentVariableA("QUERY_STANDIN_CISTATE_RESULT", a.ciStateResult);
    }

    // Runs the action; the properties it wrote, in order. The library is
    // released again whatever happened.
    Writes Run() {
        test::PropertyWrites writes;
        EXPECT_EQ(CheckISRunning(session.Handle()), 0u);
        EXPECT_EQ(GetModuleHandleA("query.dll"), nullptr) << "query.dll left loaded";
        return writes.Writes();
    }

    test::InstallerLog log;
    test::InstallerSession session;
};

TEST_F(CheckISRunningTest, LocatedCatalogIsAskedForItsStateWithThePreparedRecord) {
    Answer({});
    EXPECT_EQ(Run(), (Writes{{"IS_IS_RUNNING", "1"}}));
    EXPECT_EQ(Variable("QUERY_STANDIN_LOCATE_CALL"),
              "scope=\\ bookmark=0 machine=empty/32 catalog=empty/522");
    EXPECT_EQ(Variable("QUERY_STANDIN_CISTATE_CALL"), "catalog=System machine=. size=60 rest=zero");
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(CheckISRunningTest, OnlyIndexNotRunningAnswersNo) {
    const struct {
        const char* ciState;
        const char* running;
    } cases[] = {{"0x80041820", "0"}, {"0", "1"}, {"1", "1"}, {"0x80070005", "1"}};
    for (const auto& c : cases) {
        Answers a;
        a.ciStateResult = c.ciState;
        Answer(a);
        EXPECT_EQ(Run(), (Writes{{"IS_IS_RUNNING", c.running}})) << c.ciState;
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(CheckISRunningTest, NamesAreUsedOnlyWhenLocatedAndWithinTheirBuffers) {
    const std::string machine31(31, 'm'), catalog521(521, 'c');
    const struct {
        const char* what;
        Answers answers;
        const char* running;
    } cases[] = {
        {"no catalog (S_FALSE)", {.locateResult = "1"}, "0"},
        {"no catalog (index not running)", {.locateResult = "0x80041820"}, "0"},
        {"empty machine name", {.machine = ""}, "0"},
        {"empty catalog name", {.catalog = ""}, "0"},
        // Returned sizes 32 and 522, the limits.
        {"names filling their buffers", {.machine = machine31, .catalog = catalog521}, "1"},
        {"machine size beyond 32", {.machineSize = "33"}, "0"},
        {"catalog size beyond 522", {.catalogSize = "523"}, "0"},
        // 32 bytes without a terminator: not a name that can be passed on.
        {"unterminated machine name", {.machine = std::string(40, 'm'), .machineSize = "32"}, "0"},
    };
    for (const auto& c : cases) {
        Answer(c.answers);
        EXPECT_EQ(Run(), (Writes{{"IS_IS_RUNNING", c.running}})) << c.what;
        EXPECT_EQ(Variable("QUERY_STANDIN_CISTATE_CALL").empty(), *c.running == '0') << c.what;
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(CheckISRunningTest, NamesAreConvertedFromTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
    Answers a;
    a.catalog = "Katalog \xC4\xD6";
    a.machine = "Rechner\xDC";
    Answer(a);
    EXPECT_EQ(Run(), (Writes{{"IS_IS_RUNNING", "1"}}));
    EXPECT_EQ(Variable("QUERY_STANDIN_CISTATE_CALL"),
              "catalog=Katalog \xC3\x84\xC3\x96 machine=Rechner\xC3\x9C size=60 rest=zero");
}

std::string g_variant;
bool g_variantLoaded;
HMODULE WINAPI LoadVariant(LPCSTR name) {
    EXPECT_STREQ(name, "query.dll");
    const HMODULE library = LoadLibraryA(g_variant.c_str());
    g_variantLoaded = library != nullptr;
    return library;
}

TEST_F(CheckISRunningTest, MissingEntryPointsAreReportedAndAnswerNo) {
    const struct {
        const char* folder;
        const char* point;
    } variants[] = {{"query-no-locate", "B8MISTRCU3R7VA3"}, {"query-no-cistate", "VAKSCNZLELYDAUR"}};
    for (const auto& v : variants) {
        log.Remove();
        Answer({});
        g_variant = test::ExecutableFolder() + v.folder + "\\query.dll";
        g_variantLoaded = false;
        PlatformOverride variant(&Platform::LoadLibraryA, &LoadVariant);
        const std::string codeLine = std::string("Code: -2147467261 Point: ") + v.point + " ";
        EXPECT_EQ(Run(), (Writes{{"IS_CA_ERROR", "1"},
                                 {"CA_ERROR_TEXT", SystemErrorText(kNoEntryPoint)},
                                 {"CA_ERROR_CODE", codeLine},
                                 {"IS_IS_RUNNING", "0"}}));
        EXPECT_THAT(log.Records(), ElementsAre(codeLine));
        EXPECT_EQ(GetModuleHandleA(g_variant.c_str()), nullptr) << v.folder << " left loaded";
        EXPECT_TRUE(g_variantLoaded) << v.folder;
        // Both entry points are taken before the catalog is looked for.
        EXPECT_EQ(Variable("QUERY_STANDIN_LOCATE_CALL"), "") << v.folder;
    }
}

TEST_F(CheckISRunningTest, ForeignExceptionIsRecordedAndTheLibraryReleased) {
    Answer({});
    PlatformOverride throwing(&Platform::MultiByteToWideChar,
                              [](UINT, DWORD, LPCCH, int, LPWSTR, int) -> int { test::ThrowForeign(8); });
    EXPECT_EQ(Run(), (Writes{{"IS_CA_ERROR", "1"},
                             {"CA_ERROR_TEXT", SystemErrorText(8)},
                             {"CA_ERROR_CODE", "Code: 8 Point: BA95SDEFFK7SBBZ "},
                             {"IS_IS_RUNNING", "0"}}));
    EXPECT_THAT(log.Records(), ElementsAre("Code: 8 Point: BA95SDEFFK7SBBZ "));
}

// Run by the test below in a copy of this program that finds no query.dll.
TEST(CheckISRunningWithoutLibrary, DISABLED_InChildProcess) {
    test::InstallerLog log;
    test::InstallerSession session;
    test::PropertyWrites writes;
    EXPECT_EQ(CheckISRunning(session.Handle()), 0u);
    const std::string codeLine = "Code: -2147467261 Point: BUGFHXBLPKZ9NFF ";
    EXPECT_EQ(writes.Writes(), (Writes{{"IS_CA_ERROR", "1"},
                                       {"CA_ERROR_TEXT", SystemErrorText(kNoEntryPoint)},
                                       {"CA_ERROR_CODE", codeLine},
                                       {"IS_IS_RUNNING", "0"}}));
    EXPECT_THAT(log.Records(), ElementsAre(codeLine));
}

TEST(CheckISRunningWithoutLibrary, ReportsTheMissingLibraryAndAnswersNo) {
    ASSERT_TRUE(StandInPreferred());
    // A copy of this program in a folder without query.dll: with the native
    // library preferred and none there, the system has none to offer.
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string folder = test::ExecutableFolder() + "no-query-dll\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string copy = folder + "detect_env_tests.exe";
    ASSERT_TRUE(CopyFileA(self, copy.c_str(), FALSE)) << GetLastError();
    const std::string output = folder + "output.txt";
    std::string commandLine = "\"" + copy +
                              "\" --gtest_also_run_disabled_tests"
                              " --gtest_filter=CheckISRunningWithoutLibrary.DISABLED_InChildProcess";

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION child = {};
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &child);
    CloseHandle(out);
    ASSERT_TRUE(started) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);

    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(exitCode, 0u) << text.str();
    EXPECT_THAT(text.str(), HasSubstr("[  PASSED  ] 1 test."));
}

}  // namespace
}  // namespace ca
