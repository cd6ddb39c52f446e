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

extern "C" UINT __stdcall ImportOpt_check(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);

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

TEST_F(ImportActionsTest, TheMessagesOfThePortableCoreAreTheModulesStringTable) {
    for (unsigned id : {60162u, 60163u, 60164u, 60513u, 60514u, 60515u, 60516u}) {
        ASSERT_NE(ImportMessageText(id), nullptr) << id;
        EXPECT_EQ(ModuleString(id), ImportMessageText(id)) << id;
    }
}

}  // namespace
}  // namespace ca
