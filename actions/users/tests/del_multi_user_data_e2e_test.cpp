// DelMultiUserData through msiexec: the deferred action of the authoring
// fragment, out of process, when the package is removed; over the user
// running the installation and a user who is not logged on.
#include "installer_session.h"
#include "profile_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using ::testing::IsEmpty;

namespace ca {
namespace {

using test::PathExists;

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::string ReadAppData(HKEY root, const std::string& path) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueA(root, path.c_str(), "AppData", RRF_RT_ANY | RRF_NOEXPAND, nullptr, value, &size);
    return value;
}

TEST(DelMultiUserDataE2E, RemovesTheDataOfTheInstallingUserAndOfAUserWhoIsNotLoggedOn) {
    test::InstallerLog log;
    test::ProfileFixture profiles;
    const std::string otherAppData = profiles.NextFolder() + "\\other appdata";
    const test::TestProfile& other = profiles.Add([&](HKEY root) {
        test::CreateRegKey(root, "Software\\CATestE2E\\Vendor\\App\\Settings");
        test::SetRegValue(root, kShellFolders, "AppData", otherAppData);
    });
    test::CreateFolders(otherAppData + "\\CATestE2EApp");
    test::WriteTestFile(otherAppData + "\\CATestE2EApp\\other.log");

    // The installing user: its own hive, AppData below its profile folder.
    test::CreateRegKey(HKEY_CURRENT_USER, "Software\\CATestE2E\\Vendor\\App\\Settings\\Window");
    char profile[MAX_PATH] = {};
    ExpandEnvironmentStringsA("%USERPROFILE%", profile, sizeof profile);
    std::string appData = ReadAppData(HKEY_CURRENT_USER, kShellFolders);
    ASSERT_EQ(appData.rfind("%USERPROFILE%", 0), 0u) << appData;
    appData = profile + appData.substr(13);
    const std::string mine = appData + "\\CATestE2EApp";
    test::CreateFolders(mine);
    test::WriteTestFile(mine + "\\mine.log");

    // The package names the data (see its Property table); the installation
    // leaves it, the full removal takes it away.
    const std::string package = "\"" CA_USERS_E2E_PACKAGE "\"";
    EXPECT_EQ(test::RunMsiexec("/i " + package + " /qn"), 0u);
    EXPECT_TRUE(test::RegKeyExists(HKEY_CURRENT_USER, "Software\\CATestE2E\\Vendor\\App\\Settings\\Window"));
    EXPECT_TRUE(PathExists(mine + "\\mine.log"));
    EXPECT_EQ(test::RunMsiexec("/x " + package + " /qn"), 0u);

    EXPECT_FALSE(test::RegKeyExists(HKEY_CURRENT_USER, "Software\\CATestE2E\\Vendor"));
    EXPECT_FALSE(PathExists(mine));
    EXPECT_FALSE(PathExists(otherAppData + "\\CATestE2EApp"));
    EXPECT_FALSE(test::RegKeyExists(HKEY_USERS, other.keyName));  // unloaded again
    EXPECT_THAT(log.Records(), IsEmpty());

    test::DeleteRegTree(HKEY_CURRENT_USER, "Software\\CATestE2E");
    test::RemoveFolderTree(mine);
}

}  // namespace
}  // namespace ca
