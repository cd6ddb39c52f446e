// CompareInstDir in a real installer session.
#include "actions/action.h"
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mbctype.h>

extern "C" UINT __stdcall CompareInstDir(MSIHANDLE);

using ::testing::ElementsAre;

namespace ca {
namespace {

class CompareInstDirTest : public ::testing::Test {
protected:
    std::string Compare(const std::string& oldFolder, const std::string& newFolder) {
        session.Set("COPY_INSTALLDIR", oldFolder);
        session.Set("INSTALLDIR", newFolder);
        session.Set("EQUAL_OLDNEW_INSTALLDIR", "unset");
        EXPECT_EQ(CompareInstDir(session.Handle()), 0u);
        return session.Get("EQUAL_OLDNEW_INSTALLDIR");
    }

    test::InstallerLog log;
    test::InstallerSession session;
};

TEST_F(CompareInstDirTest, OneTrailingBackslashAndCaseDoNotMatter) {
    EXPECT_EQ(Compare("C:\\Program Files\\App\\", "c:\\program files\\app"), "1");
    EXPECT_EQ(Compare("C:\\", "C:"), "1");
    EXPECT_EQ(Compare("", ""), "1");
    // Only one backslash goes, only a backslash, and nothing else is normalised.
    EXPECT_EQ(Compare("C:\\App\\\\", "C:\\App"), "0");
    EXPECT_EQ(Compare("C:\\App", "C:/App"), "0");
    EXPECT_EQ(Compare("C:\\App/", "C:\\App"), "0");
    EXPECT_EQ(Compare("C:\\A\\..\\App", "C:\\App"), "0");
    EXPECT_EQ(Compare("C:\\App", "D:\\App"), "0");
    EXPECT_EQ(session.Get("IS_CA_ERROR"), "");
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(CompareInstDirTest, TrailByteOfADoubleByteCharacterIsNotABackslash) {
    // Code page 932: 0x83 0x5C is one character whose trail byte is 0x5C.
    const int saved = _getmbcp();
    ASSERT_EQ(_setmbcp(932), 0);
    const std::string folder = "C:\\App\x83\x5C";
    EXPECT_EQ(Compare(folder, folder + "\\"), "1");
    EXPECT_EQ(Compare(folder, "C:\\App\x83"), "0");
    EXPECT_EQ(Compare(folder + "\\", "C:\\App\x83"), "0");
    _setmbcp(saved);
    // In a single-byte code page the same byte is a backslash.
    ASSERT_EQ(_setmbcp(1252), 0);
    EXPECT_EQ(Compare(folder, "C:\\App\x83"), "1");
    _setmbcp(saved);
}

const char* g_failingName;
UINT WINAPI FailOneRead(MSIHANDLE h, LPCSTR name, LPSTR buffer, LPDWORD size) {
    if (lstrcmpA(name, g_failingName) == 0) return ERROR_INVALID_HANDLE;
    return MsiGetPropertyA(h, name, buffer, size);
}

TEST_F(CompareInstDirTest, FailedReadsArePublishedAndAnswerNotEqual) {
    const struct {
        const char* property;
        const char* chain;
    } cases[] = {{"COPY_INSTALLDIR", "JYCT85K6YHFFIGI:A4LRP85LV7J52YM"},
                 {"INSTALLDIR", "8323JT875AC2ZKN:A4LRP85LV7J52YM"}};
    for (const auto& c : cases) {
        log.Remove();
        g_failingName = c.property;
        PlatformOverride failing(&Platform::MsiGetPropertyA, &FailOneRead);
        test::PropertyWrites writes;
        EXPECT_EQ(Compare("C:\\Same", "C:\\Same"), "0");
        const std::string extra = std::string("(0)(") + c.property + ")((null))";
        EXPECT_THAT(writes.Names(), ElementsAre("IS_CA_ERROR", "CA_ERROR_TEXT", "CA_ERROR_CODE",
                                                "EQUAL_OLDNEW_INSTALLDIR"));
        EXPECT_EQ(session.Get("CA_ERROR_CODE"), std::string("Code: 6 Point: ") + c.chain + " " + extra);
        EXPECT_THAT(log.Records(), ElementsAre("Code: 6 Point: A4LRP85LV7J52YM " + extra, c.chain));
    }
}

TEST_F(CompareInstDirTest, ForeignExceptionIsRecordedAtTheCatchAllPoint) {
    PlatformOverride throwing(&Platform::MsiGetPropertyA,
                              [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(8); });
    session.Set("EQUAL_OLDNEW_INSTALLDIR", "unset");
    CompareInstDir(session.Handle());
    EXPECT_EQ(session.Get("CA_ERROR_CODE"), "Code: 8 Point: N598PFYYT6XNMNE ");
    EXPECT_EQ(session.Get("EQUAL_OLDNEW_INSTALLDIR"), "0");
    EXPECT_THAT(log.Records(), ElementsAre("Code: 8 Point: N598PFYYT6XNMNE "));
}

}  // namespace
}  // namespace ca
