// ActionError, its texts, and the failure report, against the real installer.
#include "installer_session.h"
#include "runtime/action_error.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace ca {
namespace {

std::string OsMessage(DWORD code) {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(0x13FF, nullptr, code, 0x400, reinterpret_cast<LPSTR>(&buffer),
                                   0, nullptr);
    std::string text = buffer ? std::string(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    return text;
}

TEST(SystemErrorText, IsTheSystemMessageOnOneLine) {
    EXPECT_EQ(SystemErrorText(0), "Unknown error.");
    EXPECT_EQ(SystemErrorText(2), OsMessage(2));
    EXPECT_NE(SystemErrorText(2), "Unknown error.");
    EXPECT_EQ(SystemErrorText(6).find('\n'), std::string::npos);
    // A code without a message (Wine has none for E_POINTER).
    EXPECT_EQ(SystemErrorText(static_cast<int32_t>(0x80004003)),
              OsMessage(0x80004003).empty() ? "Unknown error." : OsMessage(0x80004003));
}

TEST(FormatResourceMessage, ReadsTheModulesStringTable) {
    EXPECT_EQ(FormatResourceMessage(60162), "This file is corrupted or has an incorrect data format.");
    EXPECT_EQ(FormatResourceMessage(60163, "C:\\x.opt"),
              "The program cannot open the file \"C:\\x.opt\".");
    EXPECT_EQ(FormatResourceMessage(60164), "Use the latest version of the program to open the file.");
    EXPECT_EQ(FormatResourceMessage(60513),
              "The configuration file was created for a higher version of the program.");
    EXPECT_EQ(FormatResourceMessage(60514), "The configuration file has the wrong type of data.");
    EXPECT_EQ(FormatResourceMessage(60515), "The configuration file is for another program.");
    EXPECT_EQ(FormatResourceMessage(60516), "An error occurred when importing.");
    EXPECT_EQ(FormatResourceMessage(60517), "");
    EXPECT_EQ(FormatResourceMessage(1), "");
}

TEST(ActionError, EveryChangeWritesOneLogLine) {
    test::InstallerLog log;
    ActionError e;
    EXPECT_EQ(e.CodeLine(), "Code: 0 Point:  ");
    e.RecordError("A4LRP85LV7J52YM", 6, nullptr, "(0)(NAME)((null))");
    EXPECT_EQ(e.Text(), SystemErrorText(6));
    e.PrependPoint("UA2ZR7G6343BL2A");
    e.PrependPoint("WE8A6THXGYTSTEY");
    e.AppendExtra("(more)");
    e.SetText("");  // no change, no line
    e.SetText("replaced");
    EXPECT_EQ(e.CodeLine(),
              "Code: 6 Point: WE8A6THXGYTSTEY:UA2ZR7G6343BL2A:A4LRP85LV7J52YM (0)(NAME)((null))(more)");
    EXPECT_EQ(e.ShortCodeLine(), "Code: 6 Point: WE8A6THXGYTSTEY:UA2ZR7G6343BL2A:A4LRP85LV7J52YM");
    EXPECT_EQ(e.Text(), "replaced");
    e.AdoptError("P1:P2", -2147467261, "text", "ext\r\n");
    EXPECT_THAT(log.Records(),
                ElementsAre("Code: 6 Point: A4LRP85LV7J52YM (0)(NAME)((null))",
                            "UA2ZR7G6343BL2A:A4LRP85LV7J52YM",
                            "WE8A6THXGYTSTEY:UA2ZR7G6343BL2A:A4LRP85LV7J52YM",
                            "(0)(NAME)((null))(more)", "replaced",
                            "Code: -2147467261 Point: P1:P2 [text][ext\r\n]"));
}

TEST(ActionError, RecordErrorReplacesEverythingAndCodeZeroIsUnknown) {
    test::InstallerLog log;
    ActionError e;
    e.RecordError("FIRSTPOINT00001", 5, nullptr, "(x)");
    e.PrependPoint("OUTER");
    e.RecordError("SECONDPOINT0002", 0);
    EXPECT_EQ(e.Point(), "SECONDPOINT0002");
    EXPECT_EQ(e.Text(), "Unknown error.");
    EXPECT_EQ(e.Extra(), "");
    // An empty extra leaves one blank after the chain.
    EXPECT_EQ(e.CodeLine(), "Code: 0 Point: SECONDPOINT0002 ");
    e.RecordError("THIRDPOINT00003", 2, "own text");
    EXPECT_EQ(e.Text(), "own text");
    ASSERT_FALSE(log.Records().empty());
    EXPECT_EQ(log.Records().back(), "Code: 2 Point: THIRDPOINT00003 ");
}

TEST(PublishError, SetsTheThreePropertiesInOrder) {
    test::InstallerSession session;
    test::PropertyWrites writes;
    ActionError e;
    e.RecordError("A4LRP85LV7J52YM", 0, nullptr, "(1)");
    PublishError(session.Handle(), e);
    EXPECT_THAT(writes.Writes(),
                ElementsAre(std::pair<std::string, std::string>("IS_CA_ERROR", "1"),
                            std::pair<std::string, std::string>("CA_ERROR_TEXT", "Unknown error."),
                            std::pair<std::string, std::string>(
                                "CA_ERROR_CODE", "Code: 0 Point: A4LRP85LV7J52YM (1)")));
    EXPECT_EQ(session.Get("CA_ERROR_CODE"), "Code: 0 Point: A4LRP85LV7J52YM (1)");
    PublishError(session.Handle(), e, CodeForm::Short);
    EXPECT_EQ(session.Get("CA_ERROR_CODE"), "Code: 0 Point: A4LRP85LV7J52YM");
}

TEST(RunActionBody, TellsTheSignalsApartAndRecordsForeignExceptions) {
    test::InstallerLog log;
    ActionError e;
    EXPECT_EQ(RunActionBody(e, "CATCHALL0000001", [] {}), BodyOutcome::Completed);
    EXPECT_EQ(RunActionBody(e, "CATCHALL0000001", [] { ThrowStop(); }), BodyOutcome::Stopped);
    EXPECT_EQ(RunActionBody(e, "CATCHALL0000001", [] { ThrowFailure(); }), BodyOutcome::Failed);
    EXPECT_TRUE(log.Records().empty());
    EXPECT_EQ(RunActionBody(e, "CATCHALL0000001", [] { test::ThrowForeign(8); }),
              BodyOutcome::Failed);
    EXPECT_EQ(e.CodeLine(), "Code: 8 Point: CATCHALL0000001 ");
    EXPECT_EQ(e.Text(), SystemErrorText(8));
    EXPECT_THAT(log.Records(), ElementsAre("Code: 8 Point: CATCHALL0000001 "));
}

}  // namespace
}  // namespace ca
