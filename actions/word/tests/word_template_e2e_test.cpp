// CopyMSWordDot and DelMSWordDot installed and removed with msiexec: the
// deferred actions of the authoring fragment, out of process, for the user
// running the installation and a user whose hive the walk loads.
#include "installer_session.h"
#include "profile_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::IsEmpty;

namespace ca {
namespace {

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool IsReadOnlyFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

TEST(WordTemplateE2E, InstallPlacesTheTemplateForEveryUserAndRemovalTakesItAway) {
    test::InstallerLog log;
    test::ProfileFixture profiles;
    test::SetRegValue(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", "", "Word.Application.12");
    const std::string root = test::ProfilesRoot();
    const std::string otherAppData = root + "\\other user\\app data";
    profiles.Add([&](HKEY hive) { test::SetRegValue(hive, kShellFolders, "AppData", otherAppData); },
                 {.imagePath = root + "\\other user"});
    test::CreateFolders(root + "\\source");
    test::WriteTestFile(root + "\\source\\ca-e2e.dot", "template");

    char mine[MAX_PATH] = {};
    DWORD size = sizeof mine;
    RegGetValueA(HKEY_CURRENT_USER, kShellFolders, "AppData", RRF_RT_REG_SZ, nullptr, mine, &size);
    const std::string placed[] = {std::string(mine) + "\\Microsoft\\Word\\STARTUP\\ca-e2e.dot",
                                  otherAppData + "\\Microsoft\\Word\\STARTUP\\ca-e2e.dot"};
    const std::string package = "\"" CA_WORD_E2E_PACKAGE "\"";
    std::vector<std::string> created;  // the installing user's folders the copy makes
    for (const char* part : {"\\Microsoft", "\\Microsoft\\Word", "\\Microsoft\\Word\\STARTUP"})
        if (!test::PathExists(mine + std::string(part))) created.insert(created.begin(), mine + std::string(part));

    EXPECT_EQ(test::RunMsiexec("/i " + package + " /qn \"CA_WORD_TEMPLATE_FOLDER=" + root + "\\source\""), 0u);
    for (const std::string& file : placed) EXPECT_TRUE(IsReadOnlyFile(file)) << file;
    EXPECT_EQ(test::RunMsiexec("/x " + package + " /qn"), 0u);
    for (const std::string& file : placed) EXPECT_FALSE(test::PathExists(file)) << file;
    EXPECT_THAT(log.Records(), IsEmpty());

    for (const std::string& file : placed) {
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(file.c_str());
    }
    for (const std::string& folder : created) RemoveDirectoryA(folder.c_str());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application");
}

}  // namespace
}  // namespace ca
