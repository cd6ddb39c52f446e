// The sweep of the rights actions: deferred, so they set no property; the
// key's DACL is either as it was or holds the Users entry, never anything
// in between.
#include "sweep.h"

#include <aclapi.h>
#include <cstdlib>
#include <sddl.h>
#include <gtest/gtest.h>

extern "C" UINT __stdcall SetRegRights(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRights(MSIHANDLE);
extern "C" UINT __stdcall SetRegRightsRollback(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRightsRollback(MSIHANDLE);

namespace ca::test {
namespace {

const char kKey[] = "Software\\CustActionSweep\\Rights";
const char kOldDacl[] = "D:(A;;KA;;;SY)(A;;KA;;;BA)(A;CI;KR;;;AU)";

std::string KeyDacl() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return "(no key)";
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor);
    RegCloseKey(key);
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    const std::string result = text ? text : "";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
}

void PrepareKey() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kOldDacl, SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    RegCloseKey(key);
}

TEST(Sweep, SetRegRights) {
    std::string oldDacl, newDacl;
    {
        // The DACL before, and after a run without failures.
        PrepareKey();
        oldDacl = KeyDacl();
        InstallerSession session;
        session.Set("CustomActionData", std::string(kKey) + ";1;");
        SetRegRights(session.Handle());
        newDacl = KeyDacl();
        ASSERT_NE(oldDacl, newDacl);
    }
    RunSweep({"SetRegRights",
              [](InstallerSession& s) {
                  PrepareKey();
                  s.Set("CustomActionData", std::string(kKey) + ";1;");
              },
              SetRegRights,
              [&](const SweepRun& run) {
                  EXPECT_TRUE(run.writes.empty());
                  const std::string dacl = KeyDacl();
                  EXPECT_TRUE(dacl == oldDacl || dacl == newDacl) << dacl;
              },
              {},
              {{"malloc", 234}},
              [] { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\CustActionSweep"); }});
}

TEST(Sweep, SetFoldRights) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    const std::string folder = std::string(temp) + "CustActionSweepRights";
    CreateDirectoryA(folder.c_str(), nullptr);
    RunSweep({"SetFoldRights", [&](InstallerSession& s) { s.Set("CustomActionData", folder); }, SetFoldRights,
              [](const SweepRun& run) { EXPECT_TRUE(run.writes.empty()); },
              // A folder that cannot be seen is skipped without a word.
              {"GetFileAttributesA"},
              {{"malloc", 234}},
              [&] { RemoveDirectoryA(folder.c_str()); }});
}

// ------------------------------------------------------------ killed

constexpr char kSwitch[] = "|{2E8C4A61-9B3D-4F70-8A15-6C0D2B9E7F34}";

// A child of the kill sweep: this executable started with
// CA_KILL_REG_RIGHTS_AT=<n> (CA_KILL_FOLD_RIGHTS_AT=<n>) runs SetRegRights
// (SetFoldRights) on CA_KILL_PARAMETERS and ends itself at its n-th changing
// call.
const int g_rightsKillChild = [] {
    const char* key = std::getenv("CA_KILL_REG_RIGHTS_AT");
    const char* folder = std::getenv("CA_KILL_FOLD_RIGHTS_AT");
    if (key == nullptr && folder == nullptr) return 0;
    {
        InstallerSession session;
        session.Set("CustomActionData", std::getenv("CA_KILL_PARAMETERS"));
        FaultSweep sweep;
        sweep.EndAtChangingCall(static_cast<size_t>(std::atoi(key ? key : folder)));
        if (key) SetRegRights(session.Handle());
        else SetFoldRights(session.Handle());
    }
    ::ExitProcess(0);
    return 1;
}();

bool StoreLeft() {
    char windows[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryA(windows, sizeof windows);
    const std::string product = std::string(windows) + "\\Installer\\CustAction\\" +
                                std::string(kSwitch + 1);
    return ::GetFileAttributesA(product.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Each rights action with the switch, ended at each call by which it changes
// the machine or writes its journal, then the installation's rollback: the
// key's list is the one before (the folder's Wine does not keep), and no
// store is left.
TEST(Sweep, RightsEndedAtEveryStepThenRolledBack) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    const std::string folder = std::string(temp) + "CustActionSweepRightsKilled";
    CreateDirectoryA(folder.c_str(), nullptr);
    InstallerSession session;
    for (const bool onFolder : {false, true}) {
        const std::string data = (onFolder ? folder : std::string(kKey) + ";1;") + kSwitch;
        const auto rollback = onFolder ? SetFoldRightsRollback : SetRegRightsRollback;
        session.Set("CustomActionData", data);
        PrepareKey();
        const std::string before = KeyDacl();
        size_t calls = 0;
        {
            FaultSweep sweep;
            (onFolder ? SetFoldRights : SetRegRights)(session.Handle());
            calls = sweep.ChangingCallCount();
        }
        rollback(session.Handle());
        ASSERT_GT(calls, 3u);
        for (size_t at = 0; at < calls; ++at) {
            SCOPED_TRACE((onFolder ? "folder, ended at changing call " : "key, ended at changing call ") +
                         std::to_string(at));
            PrepareKey();
            ASSERT_EQ(RunKilledChild(onFolder ? "CA_KILL_FOLD_RIGHTS_AT" : "CA_KILL_REG_RIGHTS_AT", at, data),
                      kKilledExitCode);
            rollback(session.Handle());
            EXPECT_EQ(KeyDacl(), before);
            EXPECT_FALSE(StoreLeft());
        }
    }
    RemoveDirectoryA(folder.c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\CustActionSweep");
}

}  // namespace
}  // namespace ca::test
