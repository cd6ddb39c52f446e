// The sweep of the import actions. The run replaces settings that are there
// already (a tree of two levels), so after every run the settings are either
// exactly the previous ones or exactly the imported ones, never a part; the
// check never changes them.
#include "sweep.h"

#include "options/tests/import_test_support.h"

#include <gtest/gtest.h>

extern "C" UINT __stdcall ImportOpt_check(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);

namespace ca::test {
namespace {

// Settings of an earlier export, different from the sample in every key.
void WritePreviousSettings(const std::string& profiles) {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, profiles.c_str());
    SetValue(HKEY_CURRENT_USER, profiles + "\\Old profile", "Name", REG_SZ, {'o', 'l', 'd', 0});
    SetValue(HKEY_CURRENT_USER, profiles + "\\Old profile\\Deeper", "Level", REG_DWORD, {2, 0, 0, 0});
    SetValue(HKEY_CURRENT_USER, profiles, "Current", REG_DWORD, {7, 0, 0, 0});
}

std::string Describe(const RegTree& tree) {
    std::string text;
    for (const auto& [name, value] : tree)
        text += name + "=" + std::to_string(value.type) + ":" + std::string(value.data.begin(), value.data.end()) + "\n";
    return text;
}

void ExpectPublishedShort(const SweepRun& run) {
    if (!run.Failed()) return;
    ASSERT_EQ(run.writes.size(), 3u);
    EXPECT_EQ(run.writes[0], (std::pair<std::string, std::string>{"IS_CA_ERROR", "1"}));
    EXPECT_EQ(run.writes[2].first, "CA_ERROR_CODE");
    EXPECT_EQ(run.writes[2].second.find(' ', run.writes[2].second.find("Point: ") + 7), std::string::npos)
        << "the short code line carries no extra text";
}

struct ImportFixture {
    ScratchFolder folder;
    ScratchKey key;
    std::string file = folder.File("settings.opts");
    std::string profiles = key.Path("Profiles");
    // The file named directly; a fallback folder that does not exist.
    std::string parameters = "sweep;0;5;9;100;CA;01;" + key.Path() + ";" + folder.File("nowhere") + "\\;" + file + ";";
    ImportFixture() { WriteFileBytes(file, SampleFile()); }
};

// A file the import cannot see is looked for in the fallback folder, where
// it is not either: the open then reports the missing path.
const std::map<std::string, int32_t> kReported = {{"GetFileAttributesA", ERROR_PATH_NOT_FOUND}, {"malloc", 234}};

TEST(Sweep, ImportOpt_run) {
    ImportFixture f;
    RegTree previous, imported;
    {
        WritePreviousSettings(f.profiles);
        previous = Snapshot(HKEY_CURRENT_USER, f.profiles);
        InstallerSession session;
        session.Set("CustomActionData", f.parameters);
        ImportOpt_run(session.Handle());
        imported = Snapshot(HKEY_CURRENT_USER, f.profiles);
        ASSERT_NE(previous, imported);
    }
    RunSweep({"ImportOpt_run",
              [&](InstallerSession& s) {
                  WritePreviousSettings(f.profiles);
                  s.Set("CustomActionData", f.parameters);
              },
              ImportOpt_run,
              [&](const SweepRun& run) {
                  ExpectPublishedShort(run);
                  const RegTree now = Snapshot(HKEY_CURRENT_USER, f.profiles);
                  if (run.Failed())
                      EXPECT_EQ(now, previous) << "a failed import keeps the previous settings";
                  else
                      EXPECT_EQ(now, imported);
              },
              {},
              kReported,
              nullptr,
              [&] { return Describe(Snapshot(HKEY_CURRENT_USER, f.profiles)); }});
}

TEST(Sweep, ImportOpt_check) {
    ImportFixture f;
    WritePreviousSettings(f.profiles);
    const RegTree previous = Snapshot(HKEY_CURRENT_USER, f.key.Path());
    RunSweep({"ImportOpt_check", [&](InstallerSession& s) { s.Set("IMPORTOPTPRM", f.parameters); }, ImportOpt_check,
              [&](const SweepRun& run) {
                  ExpectPublishedShort(run);
                  EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, f.key.Path()), previous);
              },
              {},
              kReported,
              nullptr});
}

}  // namespace
}  // namespace ca::test
