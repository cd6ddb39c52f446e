// The installer's own log and progress texts: what an action call sends the
// installer engine, observed at the platform table and through a real session.
#include "accounting.h"
#include "installer_session.h"
#include "runtime/action_error.h"
#include "runtime/action_scope.h"
#include "runtime/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace ca {
namespace {

std::vector<std::string> Prefixed(const std::string& prefix, const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const auto& t : texts) out.push_back(prefix + t);
    return out;
}

TEST(ActionScope, EveryTraceRecordAlsoGoesToTheInstallerLog) {
    test::InstallerSession session;
    test::InstallerLog log;
    test::InstallerMessages messages;
    {
        ActionScope scope(session.Handle(), "ReadProductVerPrm");
        ActionError e;
        e.RecordError("A4LRP85LV7J52YM", 6, nullptr, "(0)(OLD_COMMONREG_READ)((null))");
        e.PrependPoint("UA2ZR7G6343BL2A");
        e.AppendExtra("(more)");
        e.SetText("");  // no record, no message
        e.SetText("two\r\nlines");
        e.AdoptError("P1:P2", 13, "text [ProductName]", "STRG: [x]\r\nHKEY: HKLM");
    }
    const std::vector<std::string> records = log.Records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(messages.Texts(INSTALLMESSAGE_INFO), Prefixed("CustAction: ReadProductVerPrm: ", records));
    for (const auto& m : messages.All()) {
        EXPECT_EQ(m.type, INSTALLMESSAGE_INFO);
        ASSERT_EQ(m.fields.size(), 2u);
        EXPECT_EQ(m.fields[0], EscapeFormattedText(m.fields[1]));  // the template is the line
    }
    EXPECT_EQ(test::Accounting::Acquired(test::Resource::MsiHandle), 5);
    EXPECT_EQ(test::Accounting::Released(test::Resource::MsiHandle), 5);
}

// What an external user interface receives is what the installer's log shows.
std::vector<std::string> g_shown;

int WINAPI ShowInfo(LPVOID, UINT type, LPCSTR message) {
    if ((type & 0xFF000000) == INSTALLMESSAGE_INFO && message) g_shown.emplace_back(message);
    return 0;
}

TEST(ActionScope, TheInstallerLogsTheTextAsItIs) {
    test::InstallerSession session;
    test::InstallerLog log;
    g_shown.clear();
    const INSTALLUI_HANDLERA previous = MsiSetExternalUIA(&ShowInfo, INSTALLLOGMODE_INFO, nullptr);
    {
        ActionScope scope(session.Handle(), "ImportOpt_run");
        ActionError e;
        // Brackets that the installer would take for a property, a field or an escape.
        e.AdoptError("OUTERPOINT00001:INNERPOINT00001", 13, "[ProductName] [1] [\\[]",
                     "STRG: [Software\\App]");
    }
    MsiSetExternalUIA(previous, 0, nullptr);
    EXPECT_THAT(g_shown, ElementsAre("CustAction: ImportOpt_run: Code: 13 Point: "
                                     "OUTERPOINT00001:INNERPOINT00001 [[ProductName] [1] [\\[]]"
                                     "[STRG: [Software\\App]]"));
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ("CustAction: ImportOpt_run: " + log.Records()[0], g_shown.at(0));
}

TEST(ActionScope, TheInnermostOpenScopeOfTheThreadNamesTheAction) {
    test::InstallerSession session;
    test::InstallerLog log;
    test::InstallerMessages messages;
    ActionError e;
    e.RecordError("NOSCOPE00000001", 0);
    {
        ActionScope outer(session.Handle(), "Outer");
        {
            ActionScope inner(session.Handle(), "Inner");
            EXPECT_EQ(ActionScope::Current(), &inner);
            e.PrependPoint("INNER0000000001");
            // Another thread has no scope of its own.
            std::thread([] {
                ActionError other;
                other.RecordError("OTHERTHREAD0001", 0);
            }).join();
        }
        e.PrependPoint("OUTER0000000001");
    }
    EXPECT_EQ(ActionScope::Current(), nullptr);
    e.PrependPoint("NOSCOPE00000002");
    EXPECT_EQ(log.Records().size(), 5u);
    EXPECT_THAT(messages.Texts(INSTALLMESSAGE_INFO),
                ElementsAre("CustAction: Inner: INNER0000000001:NOSCOPE00000001",
                            "CustAction: Outer: OUTER0000000001:INNER0000000001:NOSCOPE00000001"));
}

MSIHANDLE WINAPI NoRecord(UINT) { return 0; }
int WINAPI MessageFails(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE) { return -1; }
int WINAPI MessageThrows(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE) { test::ThrowForeign(5); }

TEST(ActionScope, AnInstallerThatFailsTheMessageLeavesTheTraceAlone) {
    const struct {
        const char* what;
        decltype(&::MsiCreateRecord) create;
        decltype(&::MsiProcessMessage) process;
    } cases[] = {
        {"no record", &NoRecord, nullptr},
        {"message refused", nullptr, &MessageFails},
        {"message throws", nullptr, &MessageThrows},
    };
    test::InstallerSession session;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::InstallerLog log;
        PlatformOverride create(&Platform::MsiCreateRecord,
                                c.create ? c.create : Os().MsiCreateRecord);
        PlatformOverride process(&Platform::MsiProcessMessage,
                                 c.process ? c.process : Os().MsiProcessMessage);
        ActionScope scope(session.Handle(), "CompareInstDir");
        ActionError e;
        e.RecordError("INNERPOINT00001", 6);
        e.PrependPoint("OUTERPOINT00001");
        EXPECT_EQ(e.Point(), "OUTERPOINT00001:INNERPOINT00001");
        EXPECT_EQ(log.Records().size(), 2u);
        EXPECT_EQ(test::Accounting::Held(test::Resource::MsiHandle), 0);
        EXPECT_EQ(SendActionData("C:\\users\\alice"), c.process == &MessageFails ? -1 : 0);
    }
}

int WINAPI UserCancels(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE) { return IDCANCEL; }

TEST(SendActionData, SendsTheItemForTheTemplateOfTheActionText) {
    test::InstallerSession session;
    test::InstallerLog log;
    test::InstallerMessages messages;
    EXPECT_EQ(SendActionData("outside any action"), 0);
    {
        ActionScope scope(session.Handle(), "DelMultiUserData");
        SendActionData("C:\\users\\alice [S-1-5-21-0-0-0-1001]");
    }
    ASSERT_EQ(messages.All().size(), 1u);
    const auto& m = messages.All()[0];
    EXPECT_EQ(m.type, INSTALLMESSAGE_ACTIONDATA);
    // No template of its own and no prefix: the ActionText row supplies them.
    ASSERT_EQ(m.fields.size(), 2u);
    EXPECT_EQ(m.fields[0], "");
    EXPECT_THAT(log.Records(), IsEmpty());
    // Under the row's template the installer shows the text as it was given.
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "User profile: [1]");
    MsiRecordSetStringA(record, 1, m.fields[1].c_str());
    char shown[200] = {};
    DWORD size = sizeof shown;
    ASSERT_EQ(MsiFormatRecordA(session.Handle(), record, shown, &size), 0u);
    EXPECT_STREQ(shown, "User profile: C:\\users\\alice [S-1-5-21-0-0-0-1001]");

    PlatformOverride cancel(&Platform::MsiProcessMessage, &UserCancels);
    ActionScope scope(session.Handle(), "CopyMSWordDot");
    EXPECT_EQ(SendActionData("C:\\users\\bob"), IDCANCEL);
}

}  // namespace
}  // namespace ca
