// The sweep of the import actions. The run replaces settings that are there
// already (a tree of two levels) and their version record, so after every run
// settings and record are either exactly the previous ones or exactly the
// imported ones, never a part and never one without the other; a user's own
// key named like a backup of the settings is never touched; the check never
// changes anything.
#include "sweep.h"

#include "options/registry_subtree.h"
#include "options/tests/import_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

extern "C" UINT __stdcall ImportOpt_check(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_rollback(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_commit(MSIHANDLE);

namespace ca::test {
namespace {

// Settings of an earlier export, different from the sample in every key,
// with their version record, and a user's own copy of them.
void WritePreviousSettings(const std::string& profiles) {
    const std::string root = profiles.substr(0, profiles.rfind('\\'));
    for (const char* below : {"\\Profiles", "\\OptionVersion", "\\Profiles.old"})
        ::RegDeleteTreeA(HKEY_CURRENT_USER, (root + below).c_str());
    SetValue(HKEY_CURRENT_USER, profiles + "\\Old profile", "Name", REG_SZ, {'o', 'l', 'd', 0});
    SetValue(HKEY_CURRENT_USER, profiles + "\\Old profile\\Deeper", "Level", REG_DWORD, {2, 0, 0, 0});
    SetValue(HKEY_CURRENT_USER, profiles, "Current", REG_DWORD, {7, 0, 0, 0});
    SetValue(HKEY_CURRENT_USER, root + "\\OptionVersion", "MajorVer", REG_DWORD, {4, 0, 0, 0});
    SetValue(HKEY_CURRENT_USER, root + "\\OptionVersion", "NumbBuild", REG_DWORD, {1, 0, 0, 0});
    SetValue(HKEY_CURRENT_USER, root + "\\Profiles.old", "Mine", REG_SZ, {'m', 0});
}

// What the import replaces together, or leaves: the settings and the version
// record; and the user's own copy, which it never touches.
RegTree SettingsAndRecord(const std::string& profiles) {
    const std::string root = profiles.substr(0, profiles.rfind('\\'));
    RegTree state;
    for (const char* below : {"Profiles", "OptionVersion", "Profiles.old"})
        for (const auto& [name, value] : Snapshot(HKEY_CURRENT_USER, root + "\\" + below))
            state[std::string(below) + "\\" + name] = value;
    return state;
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
        previous = SettingsAndRecord(f.profiles);
        InstallerSession session;
        session.Set("CustomActionData", f.parameters);
        ImportOpt_run(session.Handle());
        imported = SettingsAndRecord(f.profiles);
        ASSERT_NE(previous, imported);
    }
    RunSweep({"ImportOpt_run",
              [&](InstallerSession& s) {
                  // Each run starts from the previous settings alone: what a
                  // failed run left is the kill sweep's concern.
                  ::RegDeleteTreeA(HKEY_CURRENT_USER, f.key.Path().c_str());
                  WritePreviousSettings(f.profiles);
                  s.Set("CustomActionData", f.parameters);
              },
              ImportOpt_run,
              [&](const SweepRun& run) {
                  ExpectPublishedShort(run);
                  const RegTree now = SettingsAndRecord(f.profiles);
                  if (run.Failed())
                      EXPECT_EQ(now, previous) << "a failed import keeps the previous settings and record";
                  else
                      EXPECT_EQ(now, imported);
              },
              {},
              kReported,
              nullptr,
              [&] { return Describe(SettingsAndRecord(f.profiles)); }});
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

// ------------------------------------------------------- killed and thrown

// A child of the kill sweep: this executable started with CA_KILL_AT=<n>
// runs the import of CA_KILL_PARAMETERS and ends itself at its n-th
// registry call.
const int g_killChild = [] {
    const char* at = std::getenv("CA_KILL_AT");
    if (at == nullptr) return 0;
    {
        InstallerSession session;
        session.Set("CustomActionData", std::getenv("CA_KILL_PARAMETERS"));
        FaultSweep sweep;
        sweep.ActAtRegistryCall(static_cast<size_t>(std::atoi(at)), FaultAction::Exit);
        ImportOpt_run(session.Handle());
    }
    ::ExitProcess(0);
    return 1;
}();

// Puts a snapshot of a key tree back in place of what is there.
void Restore(const std::string& root, const RegTree& tree) {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, root.c_str());
    for (const auto& [name, value] : tree) {
        const size_t bar = name.find('|');
        const std::string key = root + (name.empty() || name[0] == '|' ? "" : "\\" + name.substr(0, bar == std::string::npos ? name.size() - 1 : bar - 1));
        if (bar == std::string::npos) {
            HKEY created = nullptr;
            ::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
            ::RegCloseKey(created);
        } else {
            SetValue(HKEY_CURRENT_USER, key, name.substr(bar + 1).c_str(), value.type, value.data);
        }
    }
}

// The keys right below the settings root other than the settings and the
// version record: what an import left of its own.
std::vector<std::string> Leftovers(const std::string& root) {
    std::vector<std::string> left;
    for (const auto& [name, value] : Snapshot(HKEY_CURRENT_USER, root)) {
        if (name.find('\\') == name.size() - 1 && name != "PROFILES\\" && name != "OPTIONVERSION\\" &&
            name != "PROFILES.OLD\\")
            left.push_back(name);
    }
    return left;
}

// What the recovery of the import's first step logged, by kind.
void CountRecoveries(const std::vector<std::string>& records, std::map<std::string, int>& kinds) {
    for (const std::string& record : records) {
        if (record.find("after an interruption") == std::string::npos) continue;
        EXPECT_EQ(record.find("could not be finished"), std::string::npos) << record;
        for (const char* kind : {"incomplete new settings dropped", "the new settings put in place",
                                 "the previous settings put back", "new settings never put in place dropped",
                                 "the replaced settings deleted", "the previous record put back",
                                 "the new settings set aside"})
            if (record.find(kind) != std::string::npos) ++kinds[kind];
    }
}

// The import is ended at each of its registry calls in turn (the process
// exits there), without and with the installation's switch. Right after,
// the settings are the previous ones, the new ones or none (a journal beside
// them then says which), and without a journal the record goes with them.
// The next import, of a sound file or of one the check refuses, first
// finishes what was left: then the settings root holds exactly the previous
// or the new settings with their record, and nothing else of the import. An
// application that made the settings key again while there was none meets
// an import that keeps every copy. With the switch, the installation's
// rollback puts back exactly the previous settings and record, and its
// commit leaves one or the other whole.
TEST(Sweep, ImportOpt_runEndedAtEveryRegistryCall) {
    ImportFixture f;
    const std::string refused = "sweep;0;5;9;100;XY;01;" + f.key.Path() + ";;" + f.file + ";";
    const std::string kept = "|{0C8E2A57-3B1D-4F6A-9E72-5D4B8C1A3F60}";
    RegTree previous, imported, previousTree, importedTree;
    size_t calls = 0;
    auto prepare = [&] {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, f.key.Path().c_str());
        WritePreviousSettings(f.profiles);
    };
    {
        prepare();
        previous = SettingsAndRecord(f.profiles);
        previousTree = Snapshot(HKEY_CURRENT_USER, f.profiles);
        InstallerSession session;
        session.Set("CustomActionData", f.parameters);
        FaultSweep sweep;
        ImportOpt_run(session.Handle());
        calls = sweep.RegistryCallCount(FaultAction::Exit);
        imported = SettingsAndRecord(f.profiles);
        importedTree = Snapshot(HKEY_CURRENT_USER, f.profiles);
        ASSERT_NE(previousTree, importedTree);
    }
    const RegTree absent = {{"<absent>", {}}};
    const std::string journal = f.key.Path("Profiles~CA2Q7.1journal");
    std::map<std::string, int> held, kinds;
    int anomalies = 0;
    // One session for all the imports that follow (opening one is slow on
    // an emulated twin).
    InstallerSession session;
    auto call = [&](UINT(__stdcall * action)(MSIHANDLE), const std::string& data) {
        session.Set("IS_CA_ERROR", "");
        session.Set("CustomActionData", data);
        EXPECT_EQ(action(session.Handle()), 0u);
    };
    for (const std::string& transaction : {std::string(), kept}) {
        {
            // Kept for the installation, the run deletes nothing: fewer calls.
            prepare();
            FaultSweep sweep;
            call(ImportOpt_run, f.parameters + transaction);
            calls = sweep.RegistryCallCount(FaultAction::Exit);
        }
        for (size_t at = 0; at < calls; ++at) {
            SCOPED_TRACE("ended at registry call " + std::to_string(at) + (transaction.empty() ? "" : ", kept"));
            prepare();
            ASSERT_EQ(RunKilledChild("CA_KILL_AT", at, f.parameters + transaction), kKilledExitCode);
            const RegTree now = Snapshot(HKEY_CURRENT_USER, f.profiles);
            const char* state = now == previousTree ? "previous" : now == importedTree ? "new" : now == absent ? "none" : "a part";
            ++held[state];
            EXPECT_NE(std::string(state), "a part");
            if (Snapshot(HKEY_CURRENT_USER, journal) == absent) {
                const RegTree whole = SettingsAndRecord(f.profiles);
                EXPECT_TRUE(whole == previous || whole == imported) << "without a journal, record and settings agree";
            }
            const RegTree left = Snapshot(HKEY_CURRENT_USER, f.key.Path());
            if (now == absent) {
                // An application started meanwhile makes its settings again.
                SetValue(HKEY_CURRENT_USER, f.profiles, "Default", REG_DWORD, {1, 0, 0, 0});
                const RegTree made = Snapshot(HKEY_CURRENT_USER, f.profiles);
                call(ImportOpt_run, f.parameters);
                EXPECT_EQ(session.Get("CA_ERROR_CODE"),
                          "Code: 183 Point: MNORUE2LJU643YD:X9XEP84UYVP6B2T:TN6YQNSOLUAA6LU");
                EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, f.profiles), made);
                EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, f.profiles + "~CA2Q7.2new"), importedTree);
                EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, f.profiles + "~CA2Q7.3old"), previousTree);
                ++anomalies;
            }
            for (const bool sound : {true, false}) {
                Restore(f.key.Path(), left);
                InstallerLog log;
                InstallerMessages messages;
                call(ImportOpt_run, sound ? f.parameters : refused);
                EXPECT_EQ(session.Get("IS_CA_ERROR"), sound ? "" : "1");
                const RegTree after = SettingsAndRecord(f.profiles);
                if (sound) EXPECT_EQ(after, imported);
                else EXPECT_TRUE(after == previous || after == imported) << "left " << state;
                EXPECT_EQ(Leftovers(f.key.Path()), std::vector<std::string>{});
                CountRecoveries(log.Records(), kinds);
                // Every record, the recovery's included, reaches the installer's log too.
                const std::vector<std::string> shown = messages.Texts(INSTALLMESSAGE_INFO);
                for (const std::string& record : log.Records())
                    EXPECT_NE(std::find(shown.begin(), shown.end(), "CustAction: ImportOpt_run: " + record),
                              shown.end())
                        << record;
            }
            if (transaction.empty()) continue;
            Restore(f.key.Path(), left);
            call(ImportOpt_rollback, f.parameters + transaction);
            EXPECT_EQ(SettingsAndRecord(f.profiles), previous) << "rolled back, left " << state;
            EXPECT_EQ(Leftovers(f.key.Path()), std::vector<std::string>{});
            Restore(f.key.Path(), left);
            call(ImportOpt_commit, f.parameters + transaction);
            const RegTree committed = SettingsAndRecord(f.profiles);
            EXPECT_TRUE(committed == previous || committed == imported) << "committed, left " << state;
            EXPECT_EQ(Leftovers(f.key.Path()), std::vector<std::string>{});
        }
    }
    std::printf("[ sweep    ] ImportOpt_run ended at each of its registry calls, without and with the switch: the "
                "settings then held the previous ones %d times, the new ones %d, none %d (every copy kept beside "
                "an application's new key %d), a part %d\n",
                held["previous"], held["new"], held["none"], anomalies, held["a part"]);
    for (const auto& [kind, count] : kinds) std::printf("[ sweep    ]   next import: %s %d times\n", kind.c_str(), count);
}

// The installation's rollback and commit of a kept run, each failing at every
// call it makes in turn. One that failed and left no journal left exactly the
// previous settings and record (a rollback) or the new ones (a commit); what
// it left otherwise, the same action run again settles exactly that way.
TEST(Sweep, ImportOpt_rollbackAndCommitFailingAtEveryCall) {
    ImportFixture f;
    const std::string journal = f.key.Path("Profiles~CA2Q7.1journal");
    InstallerSession session;
    auto keptRun = [&] {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, f.key.Path().c_str());
        WritePreviousSettings(f.profiles);
        session.Set("CustomActionData", f.parameters + "|{0C8E2A57-3B1D-4F6A-9E72-5D4B8C1A3F60}");
        return SettingsAndRecord(f.profiles);
    };
    const RegTree previous = keptRun();
    ImportOpt_run(session.Handle());
    const RegTree imported = SettingsAndRecord(f.profiles);
    for (UINT(__stdcall * action)(MSIHANDLE) : {ImportOpt_rollback, ImportOpt_commit}) {
        const RegTree& settled = action == ImportOpt_rollback ? previous : imported;
        size_t calls = 0;
        {
            keptRun();
            ImportOpt_run(session.Handle());
            FaultSweep sweep;
            sweep.Record();
            action(session.Handle());
            calls = sweep.Calls().size();
        }
        for (size_t at = 0; at < calls; ++at) {
            SCOPED_TRACE("failing at call " + std::to_string(at));
            keptRun();
            ImportOpt_run(session.Handle());
            {
                FaultSweep sweep;
                sweep.FailAt(at);
                EXPECT_EQ(action(session.Handle()), 0u);
            }
            if (Snapshot(HKEY_CURRENT_USER, journal) == RegTree{{"<absent>", {}}})
                EXPECT_EQ(SettingsAndRecord(f.profiles), settled) << Describe(SettingsAndRecord(f.profiles));
            EXPECT_EQ(action(session.Handle()), 0u);
            EXPECT_EQ(SettingsAndRecord(f.profiles), settled);
            EXPECT_EQ(Leftovers(f.key.Path()), std::vector<std::string>{});
        }
    }
}

// The same import with a failed allocation (std::bad_alloc thrown) at each
// of its registry calls: it ends like a failing call, with the previous
// settings (code 8 at the save's failure site) or with the new ones.
TEST(Sweep, ImportOpt_runThrowingAtEveryRegistryCall) {
    ImportFixture f;
    RegTree previous, imported;
    size_t calls = 0;
    {
        WritePreviousSettings(f.profiles);
        previous = SettingsAndRecord(f.profiles);
        InstallerSession session;
        session.Set("CustomActionData", f.parameters);
        FaultSweep sweep;
        ImportOpt_run(session.Handle());
        calls = sweep.RegistryCallCount(FaultAction::Throw);
        imported = SettingsAndRecord(f.profiles);
    }
    int failed = 0;
    for (size_t at = 0; at < calls; ++at) {
        SCOPED_TRACE("throwing at registry call " + std::to_string(at));
        ::RegDeleteTreeA(HKEY_CURRENT_USER, f.key.Path().c_str());
        WritePreviousSettings(f.profiles);
        InstallerLog log;
        InstallerSession session;
        session.Set("CustomActionData", f.parameters);
        {
            FaultSweep sweep;
            sweep.ActAtRegistryCall(at, FaultAction::Throw);
            EXPECT_EQ(ImportOpt_run(session.Handle()), 0u);
            EXPECT_TRUE(sweep.Injected());
        }
        const RegTree now = SettingsAndRecord(f.profiles);
        if (session.Get("IS_CA_ERROR") == "1") {
            ++failed;
            EXPECT_EQ(now, previous);
            EXPECT_EQ(session.Get("CA_ERROR_CODE").rfind("Code: 8 Point: MNORUE2LJU643YD:X9XEP84UYVP6B2T", 0), 0u)
                << session.Get("CA_ERROR_CODE");
        } else {
            EXPECT_EQ(now, imported);
        }
        // What a thrown deletion left, the next import's first step removes.
        RegistrySubtree(HKEY_CURRENT_USER, f.profiles).Recover();
        EXPECT_EQ(Leftovers(f.key.Path()), std::vector<std::string>{});
        EXPECT_EQ(SettingsAndRecord(f.profiles), now);
    }
    std::printf("[ sweep    ] ImportOpt_run with an exception at each of %zu registry calls: %d failed with the "
                "previous settings, %zu ended with the new ones\n",
                calls, failed, calls - failed);
}

}  // namespace
}  // namespace ca::test
