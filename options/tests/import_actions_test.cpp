// ImportOpt_check and ImportOpt_run in a real installer session.
#include "installer_session.h"
#include "diag/text_format.h"
#include "options/codec/options_file.h"
#include "options/registry_subtree.h"
#include "options/tests/import_test_support.h"
#include "runtime/action_error.h"
#include "runtime/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

extern "C" UINT __stdcall ImportOpt_check(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_rollback(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_commit(MSIHANDLE);

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Write = std::pair<std::string, std::string>;

namespace ca {
namespace {

using test::Bytes;

struct Action {
    UINT(__stdcall* run)(MSIHANDLE);
    const char* property;
    const char* readPoint;
    const char* workerPoint;
    const char* catchAllPoint;
};
const Action kCheck = {&ImportOpt_check, "IMPORTOPTPRM", "WI9ZLE8K40MYLYY", "FHYN8NRWDKZAI0R", "WVFWD01B7WFFHOC"};
const Action kRun = {&ImportOpt_run, "CustomActionData", "2OZB76K9A2US6WK", "MNORUE2LJU643YD", "2958ZSD15XN89DQ"};

class ImportActionsTest : public ::testing::Test {
protected:
    // The ten fields for the product 5.9 with the characters "CA01".
    std::string Parameters(const std::string& file, const std::string& fallback = "") const {
        return "ignored;0;5;9;100;CA;01;" + key.Path() + ";" + fallback + ";" + file + ";";
    }
    std::string Settings() const { return folder.File("settings.opts"); }
    test::RegTree Registry() const { return test::Snapshot(HKEY_CURRENT_USER, key.Path()); }
    test::RegTree Imported() const {
        EXPECT_EQ(RegistrySubtree(HKEY_CURRENT_USER, key.Path("Expected")).Save(test::SampleSettings()), 0);
        test::RegTree tree = test::Snapshot(HKEY_CURRENT_USER, key.Path("Expected"));
        ::RegDeleteTreeA(HKEY_CURRENT_USER, key.Path("Expected").c_str());
        ::RegDeleteKeyA(HKEY_CURRENT_USER, key.Path("Expected").c_str());
        return tree;
    }

    // Settings and record of an earlier import (none for a first one), and a
    // user's own backup key of a name like the journal's.
    void WritePrevious(bool settings) {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, key.Path().c_str());
        test::SetValue(HKEY_CURRENT_USER, key.Path("Profiles.old"), "Mine", REG_SZ, {'m', 0});
        if (!settings) return;
        test::SetValue(HKEY_CURRENT_USER, key.Path("Profiles\\Earlier"), "Name", REG_SZ, {'o', 'l', 'd', 0});
        test::SetValue(HKEY_CURRENT_USER, key.Path("OptionVersion"), "MajorVer", REG_DWORD, {4, 0, 0, 0});
        test::SetValue(HKEY_CURRENT_USER, key.Path("OptionVersion"), "Extra", REG_SZ, {'x', 0});
    }
    // Calls an action with this CustomActionData.
    void Call(UINT(__stdcall* action)(MSIHANDLE), const std::string& data) {
        session.Set("CustomActionData", data);
        EXPECT_EQ(action(session.Handle()), 0u);
    }
    bool Journal() const {
        return test::Snapshot(HKEY_CURRENT_USER, key.Path("Profiles~CA2Q7.1journal")) !=
               test::RegTree{{"<absent>", {}}};
    }

    test::InstallerLog log;
    test::InstallerSession session;
    test::ScratchFolder folder;
    test::ScratchKey key;
};

TEST_F(ImportActionsTest, TheCheckChangesNothingAndTheRunImports) {
    test::WriteFileBytes(Settings(), test::SampleFile());
    session.Set("IMPORTOPTPRM", Parameters(Settings()) + "text after the fields");
    session.Set("CustomActionData", Parameters(Settings()));
    {
        test::PropertyWrites writes;
        EXPECT_EQ(ImportOpt_check(session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty());
        EXPECT_EQ(Registry(), (test::RegTree{{"<absent>", {}}}));
        EXPECT_EQ(ImportOpt_run(session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty());
    }
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path("Profiles")), Imported());
    EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, key.Path("OptionVersion"), "MinorVer"),
              (test::RegValue{REG_DWORD, {9, 0, 0, 0}}));
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(ImportActionsTest, AMissingFileIsLookedForInTheFallbackFolder) {
    test::WriteFileBytes(Settings(), test::SampleFile());
    const std::string fallback = folder.File("");  // ends in a backslash
    for (const char* named : {"C:\\nowhere\\settings.opts", "C:/nowhere/settings.opts", "settings.opts"}) {
        SCOPED_TRACE(named);
        ::RegDeleteTreeA(HKEY_CURRENT_USER, key.Path().c_str());
        session.Set("CustomActionData", Parameters(named, fallback));
        EXPECT_EQ(ImportOpt_run(session.Handle()), 0u);
        EXPECT_EQ(session.Get("IS_CA_ERROR"), "");
        EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, key.Path("Profiles")), Imported());
    }
    // A folder is no file: the fallback folder and its name are tried.
    ::CreateDirectoryA(folder.File("sub").c_str(), nullptr);
    session.Set("CustomActionData", Parameters(folder.File("sub"), fallback));
    ImportOpt_run(session.Handle());
    EXPECT_THAT(session.Get("CA_ERROR_CODE"), ::testing::HasSubstr("D9Z2M53NXGIXHT8"));
    EXPECT_THAT(log.Records()[0], ::testing::HasSubstr("FE:file=[" + fallback + "sub]"));
    ::RemoveDirectoryA(folder.File("sub").c_str());
}

TEST_F(ImportActionsTest, FailuresArePublishedWithTheShortCodeLine) {
    Bytes file = test::SampleFile();
    file[0] = 'q';
    test::WriteFileBytes(Settings(), file);
    const std::string pair = FormatResourceMessage(60163, Settings().c_str()) + "\r\n\r\n" +
                             FormatResourceMessage(60162);
    const std::string fallback = "D:\\fallback\\";
    const std::string lead = "An error occurred when importing.  (" + Settings() + ") (" + fallback + ")\r\n";
    const std::string nine = "a;0;5;9;100;CA;01;root;" + fallback + ";";

    for (const Action* action : {&kCheck, &kRun}) {
        SCOPED_TRACE(action->property);
        const struct {
            const char* name;
            std::string parameters;
            MSIHANDLE handle;  // 0: the session's
            int throwIn;       // 1: reading the property, 2: inside the worker
            std::string code;
            std::string text;
            std::vector<std::string> records;
        } cases[] = {
            {"an unreadable file", Parameters(Settings(), fallback), 0, 0,
             std::string("Code: 0 Point: ") + action->workerPoint + ":A2VRFUVG7WN5VVR", lead + pair,
             {"Code: 0 Point: A2VRFUVG7WN5VVR [" + pair + "][" + FormatStrgLine(Settings()) + "0000: 00" +
                  std::string(25, ' ') + ".\r\n" + FormatHexDump(file.data(), 48) + "]",
              lead + pair, std::string(action->workerPoint) + ":A2VRFUVG7WN5VVR"}},
            {"nine fields", nine, 0, 0, std::string("Code: 13 Point: ") + action->workerPoint + ":VO2IY09F5DO9N2F",
             "An error occurred when importing.  () (" + fallback + ")\r\n" + SystemErrorText(13),
             {"Code: 13 Point: VO2IY09F5DO9N2F (" + nine + ")",
              "An error occurred when importing.  () (" + fallback + ")\r\n" + SystemErrorText(13),
              std::string(action->workerPoint) + ":VO2IY09F5DO9N2F"}},
            {"an unreadable property", "", 0xBAD, 0,
             std::string("Code: 6 Point: ") + action->readPoint + ":A4LRP85LV7J52YM", SystemErrorText(6),
             {std::string("Code: 6 Point: A4LRP85LV7J52YM (0)(") + action->property + ")((null))",
              std::string(action->readPoint) + ":A4LRP85LV7J52YM"}},
            {"a foreign exception in the action", "", 0, 1, std::string("Code: 14 Point: ") + action->catchAllPoint,
             SystemErrorText(14), {std::string("Code: 14 Point: ") + action->catchAllPoint + " "}},
            {"a foreign exception in the worker", Parameters(Settings(), fallback), 0, 2,
             std::string("Code: 14 Point: ") + action->workerPoint + ":2YG1SSQL4W958K9", lead + SystemErrorText(14),
             {"Code: 14 Point: 2YG1SSQL4W958K9 ", lead + SystemErrorText(14),
              std::string(action->workerPoint) + ":2YG1SSQL4W958K9"}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            log.Remove();
            session.Set(action->property, c.parameters);
            test::PropertyWrites writes;
            {
                PlatformOverride property(&Platform::MsiGetPropertyA,
                                          c.throwIn == 1 ? +[](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) WINAPI -> UINT {
                                              test::ThrowForeign(14);
                                          }
                                                         : Os().MsiGetPropertyA);
                PlatformOverride attributes(&Platform::GetFileAttributesA,
                                            c.throwIn == 2 ? +[](LPCSTR) WINAPI -> DWORD { test::ThrowForeign(14); }
                                                           : Os().GetFileAttributesA);
                EXPECT_EQ(action->run(c.handle ? c.handle : session.Handle()), 0u);
            }
            EXPECT_THAT(writes.Writes(), ElementsAre(Write("IS_CA_ERROR", "1"), Write("CA_ERROR_TEXT", c.text),
                                                     Write("CA_ERROR_CODE", c.code)));
            EXPECT_EQ(log.Records(), c.records);
        }
    }
    EXPECT_EQ(Registry(), (test::RegTree{{"<absent>", {}}}));
}

constexpr char kProduct[] = "|{6C1E9B27-4D8A-4F3C-B2E5-8A0D7C3F1E94}";
constexpr char kOtherProduct[] = "|{6C1E9B27-4D8A-4F3C-B2E5-8A0D7C3F1E95}";

// With the installation's switch the run keeps the previous settings and
// record until the commit deletes them or the rollback puts them back; both
// are harmless twice and do nothing without the switch, for another
// installation, or without a journal. Without the switch the run keeps
// nothing, as it always did.
TEST_F(ImportActionsTest, TheInstallationsRollbackAndCommitSettleTheJournal) {
    test::WriteFileBytes(Settings(), test::SampleFile());
    const std::string data = Parameters(Settings());
    const std::string profiles = "HKCU\\" + key.Path("Profiles");
    for (const bool replacing : {true, false}) {
        SCOPED_TRACE(replacing ? "replacing settings" : "a first import");
        WritePrevious(replacing);
        log.Remove();
        const test::RegTree before = Registry();
        Call(ImportOpt_run, data);  // today's form: nothing kept
        const test::RegTree imported = Registry();
        EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, key.Path("OptionVersion"), "MajorVer"),
                  (test::RegValue{REG_DWORD, {5, 0, 0, 0}}));
        EXPECT_FALSE(Journal());
        EXPECT_THAT(log.Records(), IsEmpty());

        const struct {
            UINT(__stdcall* action)(MSIHANDLE);
            const char* product;  // the switch of the rollback or commit; "" none
            bool settles;
        } cases[] = {
            {ImportOpt_rollback, kProduct, true},  {ImportOpt_commit, kProduct, true},
            {ImportOpt_rollback, "", false},       {ImportOpt_commit, "", false},
            {ImportOpt_rollback, kOtherProduct, false}, {ImportOpt_commit, kOtherProduct, false},
        };
        for (const auto& c : cases) {
            const bool rollback = c.action == ImportOpt_rollback;
            SCOPED_TRACE(std::string(rollback ? "rollback" : "commit") + " with the switch '" + c.product + "'");
            WritePrevious(replacing);
            Call(c.action, data + kProduct);  // no journal: nothing
            EXPECT_EQ(Registry(), before);
            Call(ImportOpt_run, data + kProduct);
            EXPECT_TRUE(Journal());
            test::PropertyWrites writes;
            for (int time = 0; time < 2; ++time) {
                log.Remove();
                Call(c.action, data + c.product);
                EXPECT_EQ(Journal(), !c.settles);
                if (!c.settles) continue;
                EXPECT_EQ(Registry(), rollback ? before : imported) << "run " << time + 1;
                const std::string line = "The import into " + profiles + " was rolled back: " +
                                         (replacing ? "the new settings set aside; the previous settings put back; "
                                                    : "the new settings set aside; ") +
                                         "the previous record put back; the new settings dropped";
                if (rollback && time == 0)
                    EXPECT_THAT(log.Records(), ElementsAre(line));
                else
                    EXPECT_THAT(log.Records(), IsEmpty());
            }
            EXPECT_THAT(writes.Writes(), IsEmpty());
            // A later run settles what is left.
            log.Remove();
            Call(ImportOpt_run, data);
            EXPECT_EQ(Registry(), imported);
        }
        // The commit names the keys to delete from the imported file; gone,
        // it deletes them all the same.
        WritePrevious(replacing);
        Call(ImportOpt_run, data + kProduct);
        ASSERT_TRUE(::DeleteFileA(Settings().c_str()));
        Call(ImportOpt_commit, data + kProduct);
        EXPECT_EQ(Registry(), imported);
        test::WriteFileBytes(Settings(), test::SampleFile());
    }
}

// The journal's own failure sites, provoked through the platform table:
// each ends the run with its chain and code and the settings as they were.
TEST_F(ImportActionsTest, FailureSitesOfTheJournal) {
    test::WriteFileBytes(Settings(), test::SampleFile());
    const std::string data = Parameters(Settings());
    const std::string profiles = "HKCU\\" + key.Path("Profiles");
    auto anomalyIn = [&](const char* verb) {
        return "Code: 183 The import into " + profiles + " could not be " + verb +
               ": a settings key was made beside the journal, every copy kept; no more";
    };
    const std::string anomaly = anomalyIn("finished after an interruption");
    // A Profiles made beside a journal whose new settings should take its place.
    auto plantAnomaly = [&] {
        const std::string mark = key.Path("Profiles~CA2Q7.");
        test::SetValue(HKEY_CURRENT_USER, mark + "1journal", "Product", REG_SZ,
                       test::Bytes(kProduct + 1, kProduct + strlen(kProduct) + 1));
        test::SetValue(HKEY_CURRENT_USER, mark + "1journal", "Kind", REG_DWORD, {1, 0, 0, 0});
        test::SetValue(HKEY_CURRENT_USER, mark + "1journal", "State", REG_DWORD, {1, 0, 0, 0});
        test::SetValue(HKEY_CURRENT_USER, mark + "2new", "New", REG_DWORD, {1, 0, 0, 0});
        test::SetValue(HKEY_CURRENT_USER, mark + "3old", "Old", REG_DWORD, {1, 0, 0, 0});
    };
    using Calls = test::RegistryCalls;
    const struct {
        const char* name;
        const char* site;
        int code;
        std::function<void(Calls&)> arm;  // the failing call, or the planted state
        std::vector<std::string> lines;   // log lines of the site's own
    } cases[] = {
        {"keys cannot be renamed", "TGITY243MFDUW1E", 120,
         [](Calls& c) { c.FailFrom<&Platform::RegRenameKey>(0, ERROR_CALL_NOT_IMPLEMENTED); },
         {"Code: 120 Keys cannot be renamed on this system: the settings " + profiles + " are left as they are"}},
        {"the access list cannot be read", "XJWN2RYR2GCKS6M", 5,
         [](Calls& c) { c.FailNth<&Platform::RegGetKeySecurity>(0, 5); }, {}},
        {"the access list cannot be given", "XJWN2RYR2GCKS6M", 5,
         [](Calls& c) { c.FailFrom<&Platform::RegSetKeySecurity>(0, 5); }, {}},
        // The first key created is the settings' parent, the second the journal.
        {"the journal cannot be made", "6WLRYRIO4ME42Z1", 5,
         [](Calls& c) { c.FailNth<&Platform::RegCreateKeyExA>(1, 5); }, {}},
        {"a settings key beside the journal", "TN6YQNSOLUAA6LU", 183, [&](Calls&) { plantAnomaly(); },
         {anomaly, anomaly}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WritePrevious(true);
        test::RegTree before;
        log.Remove();
        session.Set("IS_CA_ERROR", "");
        {
            Calls calls;
            c.arm(calls);
            before = Registry();
            Call(ImportOpt_run, data + kProduct);
        }
        EXPECT_EQ(Registry(), before) << "nothing changed, every copy kept";
        const std::string chain = std::string("MNORUE2LJU643YD:X9XEP84UYVP6B2T:") + c.site;
        EXPECT_EQ(session.Get("CA_ERROR_CODE"), StringPrintf("Code: %d Point: ", c.code) + chain);
        const std::vector<std::string> records = log.Records();
        EXPECT_THAT(records, Contains(chain));
        for (const std::string& line : c.lines) EXPECT_THAT(records, Contains(line));
    }

    // The rollback and the commit only log their failures.
    const struct {
        UINT(__stdcall* action)(MSIHANDLE);
        const char *readPoint, *workerPoint, *catchAllPoint;
    } settling[] = {{ImportOpt_rollback, "60PPZ8WIZXNZAY5", "7H2RJQM25T90S75", "SYU1ACK5G29D580"},
                    {ImportOpt_commit, "OMRPFYKNGHXS3EW", "VU151E8XUU2B9ZO", "56F8T3ZGX8GP1TS"}};
    for (const auto& [action, readPoint, workerPoint, catchAllPoint] : settling) {
        SCOPED_TRACE(workerPoint);
        WritePrevious(true);
        plantAnomaly();
        const test::RegTree before = Registry();
        test::PropertyWrites writes;
        log.Remove();
        Call(action, data + kProduct);
        EXPECT_EQ(Registry(), before);
        EXPECT_THAT(log.Records(), Contains(anomalyIn(action == ImportOpt_rollback ? "rolled back" : "committed")));
        EXPECT_THAT(log.Records(), Contains(std::string(workerPoint) + ":X9XEP84UYVP6B2T:TN6YQNSOLUAA6LU"));
        log.Remove();
        EXPECT_EQ(action(0xBAD), 0u);
        EXPECT_THAT(log.Records(), Contains(std::string(readPoint) + ":A4LRP85LV7J52YM"));
        log.Remove();
        {
            PlatformOverride property(&Platform::MsiGetPropertyA, +[](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) WINAPI -> UINT {
                test::ThrowForeign(14);
            });
            EXPECT_EQ(action(session.Handle()), 0u);
        }
        EXPECT_THAT(log.Records(), ElementsAre(std::string("Code: 14 Point: ") + catchAllPoint + " "));
        EXPECT_THAT(writes.Writes(), IsEmpty());
    }
}

TEST_F(ImportActionsTest, TheMessagesOfThePortableCoreAreTheModulesStringTable) {
    for (unsigned id : {60162u, 60163u, 60164u, 60513u, 60514u, 60515u, 60516u}) {
        ASSERT_NE(ImportMessageText(id), nullptr) << id;
        EXPECT_EQ(ModuleString(id), ImportMessageText(id)) << id;
    }
}

}  // namespace
}  // namespace ca
