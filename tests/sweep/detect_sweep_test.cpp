// The sweep of the detection actions.
#include "sweep.h"

#include <gtest/gtest.h>

extern "C" UINT __stdcall ReadProductVerPrm(MSIHANDLE);
extern "C" UINT __stdcall CompareInstDir(MSIHANDLE);
extern "C" UINT __stdcall FindActiveApp(MSIHANDLE);
extern "C" UINT __stdcall CheckISRunning(MSIHANDLE);
extern "C" UINT __stdcall CheckMSWordRunning(MSIHANDLE);
extern "C" UINT __stdcall ReadMSWordVer(MSIHANDLE);

namespace ca::test {
namespace {

constexpr int32_t kNoEntryPoint = static_cast<int32_t>(0x80004003);

// A failed immediate action publishes the three error properties first.
void ExpectPublished(const SweepRun& run) {
    if (!run.Failed()) return;
    ASSERT_GE(run.writes.size(), 3u);
    EXPECT_EQ(run.writes[0], (std::pair<std::string, std::string>{"IS_CA_ERROR", "1"}));
    EXPECT_EQ(run.writes[1].first, "CA_ERROR_TEXT");
    EXPECT_EQ(run.writes[2].first, "CA_ERROR_CODE");
    EXPECT_EQ(run.writes[2].second.rfind("Code: ", 0), 0u);
}

TEST(Sweep, ReadProductVerPrm) {
    RunSweep({"ReadProductVerPrm",
              [](InstallerSession& s) {
                  s.Set("OLD_COMMONREG_READ", "1");
                  s.Set("OLD_COMMONSET_READ", "0");
                  s.Set("OLD_SETACCESS_READ", "1");
                  s.Set("OLD_MAJORVER_READ", "4");
                  s.Set("OLD_MINORVER_READ", "12");
                  s.Set("OLD_NUMBBUILD_READ", "377");
              },
              ReadProductVerPrm,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  if (run.Failed()) {
                      EXPECT_TRUE(run.Results().empty());
                  } else {
                      ASSERT_EQ(run.writes.size(), 10u);
                      EXPECT_EQ(run.writes.back(), (std::pair<std::string, std::string>{"OLD_FULLVER", "412"}));
                  }
              },
              {},
              {{"malloc", 234}},
              nullptr});
}

TEST(Sweep, CompareInstDir) {
    RunSweep({"CompareInstDir",
              [](InstallerSession& s) {
                  s.Set("COPY_INSTALLDIR", "C:\\Program Files\\Demo\\");
                  s.Set("INSTALLDIR", "c:\\program files\\demo");
              },
              CompareInstDir,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  EXPECT_EQ(run.Results(), (Writes{{"EQUAL_OLDNEW_INSTALLDIR", run.Failed() ? "0" : "1"}}));
              },
              {},
              {},
              nullptr});
}

TEST(Sweep, FindActiveApp) {
    RunSweep({"FindActiveApp",
              [](InstallerSession& s) {
                  s.Set("NAMECLASS_CNT", "1");
                  s.Set("NAMECLASS0", "SweepNoSuchWindowClass");
                  s.Set("MUTEXGLOBAL_CNT", "1");
                  s.Set("MUTEXGLOBAL0", "Local\\SweepNoSuchMutex");
              },
              FindActiveApp,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  // Nothing runs: the answer is "0", or none after a failure
                  // while the window classes were read.
                  const Writes results = run.Results();
                  if (!run.Failed() || !results.empty()) {
                      EXPECT_EQ(results, (Writes{{"IS_ACTIVE_APP", "0"}}));
                  }
              },
              {},
              {},
              nullptr});
}

TEST(Sweep, CheckISRunning) {
    RunSweep({"CheckISRunning", [](InstallerSession&) {}, CheckISRunning,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  EXPECT_EQ(run.Results(), (Writes{{"IS_IS_RUNNING", "0"}}));
              },
              // A name that cannot be widened counts as no catalog located.
              {"MultiByteToWideChar"},
              {{"LoadLibraryA", kNoEntryPoint}, {"GetProcAddress", kNoEntryPoint}},
              nullptr});
}

TEST(Sweep, CheckMSWordRunning) {
    RunSweep({"CheckMSWordRunning", [](InstallerSession&) {}, CheckMSWordRunning,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  EXPECT_EQ(run.Results(), (Writes{{"IS_MSWORD_RUNNING", "0"}}));
              },
              {},
              {},
              nullptr});
}

TEST(Sweep, ReadMSWordVer) {
    RunSweep({"ReadMSWordVer",
              [](InstallerSession&) {
                  HKEY key = nullptr;
                  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
                            ERROR_SUCCESS);
                  RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("Word.Application.11"), 20);
                  RegCloseKey(key);
              },
              ReadMSWordVer,
              [](const SweepRun& run) {
                  ExpectPublished(run);
                  EXPECT_EQ(run.Results(), (run.Failed() ? Writes{} : Writes{{"MSWORD_VER", "11"}}));
              },
              {},
              {},
              [] { RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application"); }});
}

}  // namespace
}  // namespace ca::test
