// Two imports at once, in two processes, into two settings roots: each root
// ends up holding exactly its own settings, replaced as a whole.
#include "installer_session.h"
#include "options/registry_subtree.h"
#include "options/tests/import_test_support.h"
#include "runtime/handles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);

namespace ca {
namespace {

constexpr const char* kStartEvent = "Local\\ca-import-processes-start";
constexpr char kRoot[] = "Software\\CustActionTest\\Parallel";

std::string Root(int n) { return std::string(kRoot) + "\\" + std::to_string(n); }

std::string FilePath(int n) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "ca-parallel-" + std::to_string(n) + ".opts";
}

// Settings large enough that the two imports overlap: 100 profiles of ten
// values, every value telling which import wrote it.
Pack Settings(int n) {
    Pack settings;
    for (int p = 0; p < 100; ++p) {
        Pack profile;
        for (int v = 0; v < 10; ++v)
            profile.Add(std::make_unique<PackItem>(("Value " + std::to_string(v)).c_str(), n * 1000 + v));
        settings.Add(std::make_unique<PackItem>(("Profile " + std::to_string(p)).c_str(), profile));
    }
    return settings;
}

std::string Parameters(int n) {
    return "parallel;0;5;9;100;CA;01;" + Root(n) + ";;" + FilePath(n) + ";";
}

// A copy of this executable started with CA_IMPORT_CHILD=<n> runs one import
// as soon as the start event is set; its exit code tells whether it failed.
const int g_childMode = [] {
    const char* id = std::getenv("CA_IMPORT_CHILD");
    if (id == nullptr) return 0;
    const int n = std::atoi(id);
    UINT failed = 1;
    {
        test::InstallerSession session;
        session.Set("CustomActionData", Parameters(n));
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, kStartEvent);
        if (start) WaitForSingleObject(start, 30000);
        ImportOpt_run(session.Handle());
        failed = session.Get("IS_CA_ERROR") == "1" ? 1 : 0;
    }
    ExitProcess(failed);
    return 1;
}();

TEST(ImportProcesses, TwoImportsAtOnceIntoTwoRoots) {
    test::InstallerLog log;
    for (int n = 1; n <= 2; ++n) {
        const Pack settings = Settings(n);
        test::WriteFileBytes(FilePath(n), BuildOptionsFile({test::kSignature, 1, 5, 9, 100}, &settings));
        // Earlier settings of the other import's shape, to be replaced.
        ASSERT_EQ(RegistrySubtree(HKEY_CURRENT_USER, Root(n) + "\\Profiles").Save(Settings(3 - n)), 0);
    }
    UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    ASSERT_TRUE(start);
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    PROCESS_INFORMATION children[2] = {};
    for (int n = 1; n <= 2; ++n) {
        SetEnvironmentVariableA("CA_IMPORT_CHILD", std::to_string(n).c_str());
        STARTUPINFOA si{};
        si.cb = sizeof si;
        std::string cmd = std::string("\"") + exe + "\"";
        ASSERT_TRUE(CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                   &children[n - 1]));
    }
    SetEnvironmentVariableA("CA_IMPORT_CHILD", nullptr);
    Sleep(500);
    SetEvent(start.Get());
    for (auto& child : children) {
        EXPECT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
        DWORD exitCode = 99;
        GetExitCodeProcess(child.hProcess, &exitCode);
        EXPECT_EQ(exitCode, 0u) << "an import reported a failure";
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    for (int n = 1; n <= 2; ++n) {
        ASSERT_EQ(RegistrySubtree(HKEY_CURRENT_USER, Root(n) + "\\Expected").Save(Settings(n)), 0);
        EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Root(n) + "\\Profiles"),
                  test::Snapshot(HKEY_CURRENT_USER, Root(n) + "\\Expected"))
            << "root " << n;
        EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, Root(n) + "\\OptionVersion", "MinorVer").data,
                  (test::Bytes{9, 0, 0, 0}));
        DeleteFileA(FilePath(n).c_str());
    }
    EXPECT_TRUE(log.Records().empty());
    RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
}

}  // namespace
}  // namespace ca
