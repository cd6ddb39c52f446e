// The sweep of the rights actions: deferred, so they set no property; the
// key's DACL is either as it was or holds the Users entry, never anything
// in between.
#include "sweep.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

extern "C" UINT __stdcall SetRegRights(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRights(MSIHANDLE);

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

}  // namespace
}  // namespace ca::test
