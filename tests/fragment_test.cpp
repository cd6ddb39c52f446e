// The authoring fragment as a package built from it holds it: which actions
// its sequence runs in which situation, and what CustomActionData its setters
// hand the deferred actions. The sequence is walked in order in a real
// session; a setter whose condition holds sets its property as the installer
// would, so later conditions and data see it.
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace ca::test {
namespace {

constexpr int kTypeMask = 0x3F;
constexpr int kDllFromBinary = 1;
constexpr int kSetProperty = 51;
constexpr int kDeferred = 0x400;
constexpr int kRollback = 0x100;
constexpr int kCommit = 0x200;
constexpr int kNoImpersonate = 0x800;
constexpr int kTerminalServerAware = 0x4000;

using Row = std::vector<std::string>;

std::string Field(MSIHANDLE record, UINT field) {
    char value[1024] = {};
    DWORD size = sizeof value;
    MsiRecordGetStringA(record, field, value, &size);
    return value;
}

std::vector<Row> Query(MSIHANDLE install, const char* sql) {
    PMSIHANDLE database = MsiGetActiveDatabase(install);
    PMSIHANDLE view;
    EXPECT_EQ(MsiDatabaseOpenViewA(database, sql, &view), 0u) << sql;
    EXPECT_EQ(MsiViewExecute(view, 0), 0u) << sql;
    std::vector<Row> rows;
    PMSIHANDLE record;
    while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        Row row;
        for (UINT f = 1; f <= MsiRecordGetFieldCount(record); ++f) row.push_back(Field(record, f));
        rows.push_back(row);
    }
    return rows;
}

struct CustomAction {
    int type;
    std::string source, target;
};

std::map<std::string, CustomAction> CustomActions(MSIHANDLE install) {
    std::map<std::string, CustomAction> actions;
    for (const Row& r : Query(install, "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`"))
        actions[r[0]] = {std::stoi(r[1]), r[2], r[3]};
    return actions;
}

std::string Formatted(MSIHANDLE install, const std::string& text) {
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringA(record, 0, text.c_str());
    char value[1024] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(MsiFormatRecordA(install, record, value, &size), 0u);
    return value;
}

// The custom actions the sequence would run with these properties, in order;
// a deferred action with the CustomActionData it would receive, the
// package's ProductCode in it written "{ProductCode}".
std::vector<std::string> RunSequence(const std::map<std::string, std::string>& properties) {
    InstallerSession session(CA_FRAGMENT_PACKAGE);
    for (const auto& [name, value] : properties) session.Set(name, value);
    const auto actions = CustomActions(session.Handle());
    std::vector<std::string> ran;
    for (const Row& step : Query(session.Handle(), "SELECT `Action`, `Condition` FROM "
                                                    "`InstallExecuteSequence` ORDER BY `Sequence`")) {
        const auto action = actions.find(step[0]);
        if (action == actions.end()) continue;  // a standard action
        const MSICONDITION condition = MsiEvaluateConditionA(session.Handle(), step[1].c_str());
        EXPECT_NE(condition, MSICONDITION_ERROR) << step[0] << ": " << step[1];
        if (condition == MSICONDITION_FALSE) continue;
        const CustomAction& ca = action->second;
        if ((ca.type & kTypeMask) == kSetProperty)
            session.Set(ca.source, Formatted(session.Handle(), ca.target));
        else if (ca.type & kDeferred) {
            std::string data = session.Get(step[0]);
            const std::string product = session.Get("ProductCode");
            if (const size_t at = data.find(product); !product.empty() && at != std::string::npos)
                data.replace(at, product.size(), "{ProductCode}");
            // The run: the date and time of the installation's script.
            const std::string transaction = session.Get("CA_TRANSACTION");
            if (transaction.rfind("|run ", 0) == 0) {
                const std::string run = transaction.substr(5, transaction.rfind('|') - 5);
                EXPECT_NE(run.find_first_of("0123456789"), std::string::npos) << transaction;
                if (const size_t at = data.find("|run " + run + "|"); at != std::string::npos)
                    data.replace(at + 5, run.size(), "{Run}");
            }
            ran.push_back(step[0] + "(" + data + ")");
        }
        else
            ran.push_back(step[0]);
    }
    return ran;
}

// Every input a package can give the actions.
std::map<std::string, std::string> Configured(std::map<std::string, std::string> more) {
    std::map<std::string, std::string> p = {
        {"NAMECLASS_CNT", "1"},
        {"CA_WORD_TEMPLATE", "App.dot"},
        {"CA_WORD_TEMPLATE_FOLDER", "C:\\App\\"},
        {"CA_GRANT_KEY", "Software\\App"},
        {"CA_GRANT_KEY_ACCESS", "1"},
        {"CA_GRANT_FOLDER", "C:\\App\\Data"},
        {"CA_USERDATA_EMPTY_KEY", "Software\\Maker"},
        {"CA_USERDATA_TREE_KEY", "Software\\Maker\\App"},
        {"CA_USERDATA_FILES", "*.tmp"},
        {"CA_USERDATA_FOLDER", "App"},
        {"CA_OPTIONS_FILE", "C:\\Setup\\App.opt"},
        {"CA_OPTIONS_FOLDER", "C:\\Setup\\"},
        {"CA_OPTIONS_KEY", "Software\\Maker\\App"},
        {"CA_OPTIONS_PRODUCT", "KWAP"},
        {"CA_OPTIONS_SCOPE", "1"},
        {"CA_PRODUCT_MAJOR", "5"},
        {"CA_PRODUCT_MINOR", "10"},
        {"CA_PRODUCT_BUILD", "377"},
    };
    for (auto& [k, v] : more) p[k] = v;
    return p;
}

constexpr const char* kImportParameters =
    "CustAction;1;5;10;377;KWAP;;Software\\Maker\\App;C:\\Setup\\;C:\\Setup\\App.opt;";

// The import's three actions with the installation's transaction switch.
std::vector<std::string> ImportInTransaction(const std::string& parameters) {
    const std::string data = parameters + "|run {Run}|{ProductCode}";
    return {"ImportOpt_rollback(" + data + ")", "ImportOpt_commit(" + data + ")", "ImportOpt_run(" + data + ")"};
}

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

// A deferred action of the LocalSystem ones with the switch: its rollback,
// itself and its commit, in the order of the sequence.
std::vector<std::string> Kept(const std::string& name, const std::string& data) {
    const std::string kept = "(" + data + "|run {Run}|{ProductCode})";
    return {name + "Rollback" + kept, name + kept, name + "Commit" + kept};
}
std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& second,
                              const std::vector<std::string>& more) {
    return Then(Then(std::move(first), second), more);
}

TEST(FragmentSequence, RunsEachActionWhenItsInputsAndTheSituationAskForIt) {
    const struct {
        const char* situation;
        std::map<std::string, std::string> properties;
        std::vector<std::string> ran;
    } cases[] = {
        {"first installation, nothing configured", {},
         {"ReadProductVerPrm", "CompareInstDir", "CheckISRunning"}},
        {"installation with every input, Word 11 registered",
         Configured({{"MSWORD_VER", "11"}}),
         Then(Then({"ReadProductVerPrm", "CompareInstDir", "FindActiveApp", "CheckISRunning", "CheckMSWordRunning",
                    "ReadMSWordVer", "ImportOpt_check"},
                   Kept("SetFoldRights", "C:\\App\\Data"), Kept("CopyMSWordDot", "C:\\App\\;App.dot")),
              Kept("SetRegRights", "Software\\App;1;"), ImportInTransaction(kImportParameters))},
        // The installer runs no rollback or commit actions: the import keeps nothing.
        {"installation with every input, rollback disabled",
         Configured({{"MSWORD_VER", "11"}, {"RollbackDisabled", "1"}}),
         {"ReadProductVerPrm", "CompareInstDir", "FindActiveApp", "CheckISRunning",
          "CheckMSWordRunning", "ReadMSWordVer", "ImportOpt_check", "SetFoldRights(C:\\App\\Data)",
          "CopyMSWordDot(C:\\App\\;App.dot)", "SetRegRights(Software\\App;1;)",
          std::string("ImportOpt_run(") + kImportParameters + ")"}},
        {"installation without an options file, the Word version not read",
         Configured({{"CA_OPTIONS_FILE", ""}}),
         Then({"ReadProductVerPrm", "CompareInstDir", "FindActiveApp", "CheckISRunning", "CheckMSWordRunning",
               "ReadMSWordVer"},
              Kept("SetFoldRights", "C:\\App\\Data"), Kept("SetRegRights", "Software\\App;1;"))},
        {"installation with the package's own import parameters, Word not registered",
         Configured({{"IMPORTOPTPRM", "x;0;5;10;0;KW;AP;Software\\K;C:\\;C:\\o.opt;"}, {"MSWORD_VER", "0"}}),
         Then(Then({"ReadProductVerPrm", "CompareInstDir", "FindActiveApp", "CheckISRunning", "CheckMSWordRunning",
                    "ReadMSWordVer", "ImportOpt_check"},
                   Kept("SetFoldRights", "C:\\App\\Data"), Kept("SetRegRights", "Software\\App;1;")),
              ImportInTransaction("x;0;5;10;0;KW;AP;Software\\K;C:\\;C:\\o.opt;"))},
        {"full removal", Configured({{"Installed", "1"}, {"REMOVE", "ALL"}, {"MSWORD_VER", "11"}}),
         Then({"FindActiveApp", "CheckMSWordRunning", "ReadMSWordVer"},
              Kept("DelMultiUserData", "Software\\Maker;Software\\Maker\\App;*.tmp;App;"),
              Kept("DelMSWordDot", "App.dot"))},
        {"removal of this version by an upgrade",
         Configured({{"Installed", "1"}, {"REMOVE", "ALL"}, {"MSWORD_VER", "11"},
                     {"UPGRADINGPRODUCTCODE", "{11111111-2222-3333-4444-555555555555}"}}),
         {"FindActiveApp", "CheckMSWordRunning", "ReadMSWordVer"}},
        // A repair puts files and rights back but does not import the options again.
        {"repair", Configured({{"Installed", "1"}, {"REINSTALL", "ALL"}, {"MSWORD_VER", "11"}}),
         Then(Then({"FindActiveApp", "CheckISRunning", "CheckMSWordRunning", "ReadMSWordVer"},
                   Kept("SetFoldRights", "C:\\App\\Data"), Kept("CopyMSWordDot", "C:\\App\\;App.dot")),
              Kept("SetRegRights", "Software\\App;1;"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        EXPECT_THAT(RunSequence(c.properties), ElementsAreArray(c.ran));
    }
}

TEST(FragmentSequence, DeclaresTheThirteenActionsWithTheirSettersAndProgressTexts) {
    InstallerSession session(CA_FRAGMENT_PACKAGE);
    const auto actions = CustomActions(session.Handle());
    std::map<std::string, int> sequence;
    for (const Row& r : Query(session.Handle(), "SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`"))
        sequence[r[0]] = std::stoi(r[1]);
    std::set<std::string> texts;
    for (const Row& r : Query(session.Handle(), "SELECT `Action`, `Description` FROM `ActionText`")) {
        EXPECT_FALSE(r[1].empty()) << r[0];
        texts.insert(r[0]);
    }

    std::set<std::string> fromDll, deferred, runAsSystem, rollback, commit, terminalServerAware;
    std::map<std::string, std::string> setterOf;  // property -> setter
    for (const auto& [name, ca] : actions) {
        if ((ca.type & kTypeMask) == kSetProperty) setterOf[ca.source] = name;
        if ((ca.type & kTypeMask) != kDllFromBinary) continue;
        EXPECT_EQ(ca.source, "CustActionDll") << name;
        EXPECT_EQ(ca.target, name) << "an action is named like its entry point";
        fromDll.insert(name);
        if (ca.type & kDeferred) deferred.insert(name);
        if (ca.type & kNoImpersonate && ca.type & kDeferred) runAsSystem.insert(name);
        if (ca.type & kDeferred && ca.type & kRollback) rollback.insert(name);
        if (ca.type & kDeferred && ca.type & kCommit) commit.insert(name);
        if (ca.type & kTerminalServerAware) terminalServerAware.insert(name);
    }
    const std::vector<std::string> system = {"CopyMSWordDot", "DelMSWordDot", "DelMultiUserData", "SetFoldRights",
                                             "SetRegRights"};
    std::set<std::string> systemRollback, systemCommit, systemAll(system.begin(), system.end());
    for (const std::string& name : system) {
        systemRollback.insert(name + "Rollback");
        systemCommit.insert(name + "Commit");
        systemAll.insert({name + "Rollback", name + "Commit"});
    }
    std::set<std::string> expected = {"CheckISRunning", "CheckMSWordRunning", "CompareInstDir", "FindActiveApp",
                                      "ImportOpt_check", "ImportOpt_commit", "ImportOpt_rollback", "ImportOpt_run",
                                      "ReadMSWordVer", "ReadProductVerPrm"};
    expected.insert(systemAll.begin(), systemAll.end());
    EXPECT_EQ(fromDll, expected);
    // In-script, with the types the package rule gives them after wixl.
    std::set<std::string> inScript = systemAll;
    inScript.insert({"ImportOpt_commit", "ImportOpt_rollback", "ImportOpt_run"});
    EXPECT_EQ(deferred, inScript);
    systemRollback.insert("ImportOpt_rollback");
    systemCommit.insert("ImportOpt_commit");
    EXPECT_EQ(rollback, systemRollback);
    EXPECT_EQ(commit, systemCommit);
    for (const std::string& name : system) {
        EXPECT_LT(sequence.at(name + "Rollback"), sequence.at(name)) << name;
        EXPECT_GT(sequence.at(name + "Commit"), sequence.at(name)) << name;
    }
    // Impersonated on a Remote Desktop Services host as well.
    EXPECT_THAT(terminalServerAware, ElementsAre("ImportOpt_commit", "ImportOpt_rollback", "ImportOpt_run"));
    EXPECT_LT(sequence.at("ImportOpt_rollback"), sequence.at("ImportOpt_run"));
    // The import writes below HKEY_CURRENT_USER and so runs as the installing user.
    EXPECT_EQ(runAsSystem, systemAll);
    EXPECT_EQ(texts, fromDll);
    // Each deferred action's data is set just before it, under the same condition.
    const std::map<std::string, std::string> conditions = [&] {
        std::map<std::string, std::string> m;
        for (const Row& r : Query(session.Handle(), "SELECT `Action`, `Condition` FROM `InstallExecuteSequence`"))
            m[r[0]] = r[1];
        return m;
    }();
    for (const std::string& name : deferred) {
        SCOPED_TRACE(name);
        ASSERT_EQ(setterOf.count(name), 1u);
        const std::string& setter = setterOf[name];
        EXPECT_EQ(sequence.at(setter) + 1, sequence.at(name));
        EXPECT_EQ(conditions.at(setter), conditions.at(name));
    }
}

}  // namespace
}  // namespace ca::test
