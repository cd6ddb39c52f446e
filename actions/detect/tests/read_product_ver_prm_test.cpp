// ReadProductVerPrm in a real installer session.
#include "actions/action.h"
#include "installer_session.h"
#include "runtime/properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" UINT __stdcall ReadProductVerPrm(MSIHANDLE);

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace ca {
namespace {

const char* const kOutputs[] = {"REG_COMMONREG", "REG_COMMONSET", "REG_SETACCESS",
                                "OLD_COMMONREG", "OLD_COMMONSET", "OLD_SETACCESS",
                                "OLD_MAJORVER",  "OLD_MINORVER",  "OLD_NUMBBUILD",
                                "OLD_FULLVER"};

class ReadProductVerPrmTest : public ::testing::Test {
protected:
    void SetInputs(const char* reg, const char* set, const char* access, const char* major,
                   const char* minor, const char* build) {
        session.Set("OLD_COMMONREG_READ", reg);
        session.Set("OLD_COMMONSET_READ", set);
        session.Set("OLD_SETACCESS_READ", access);
        session.Set("OLD_MAJORVER_READ", major);
        session.Set("OLD_MINORVER_READ", minor);
        session.Set("OLD_NUMBBUILD_READ", build);
    }
    std::vector<std::string> Outputs() {
        std::vector<std::string> values;
        for (const char* name : kOutputs) values.push_back(session.Get(name));
        return values;
    }

    test::InstallerLog log;
    test::InstallerSession session;
};

TEST_F(ReadProductVerPrmTest, PublishesTheTenOutputsInOrder) {
    SetInputs("1", "abc", "v2", "4", "12", "-1");
    test::PropertyWrites writes;
    EXPECT_EQ(ReadProductVerPrm(session.Handle()), 0u);
    EXPECT_THAT(writes.Names(), ElementsAre("REG_COMMONREG", "REG_COMMONSET", "REG_SETACCESS",
                                            "OLD_COMMONREG", "OLD_COMMONSET", "OLD_SETACCESS",
                                            "OLD_MAJORVER", "OLD_MINORVER", "OLD_NUMBBUILD",
                                            "OLD_FULLVER"));
    // "abc" is present, so it counts as 0 rather than stopping the action.
    EXPECT_THAT(Outputs(), ElementsAre("1", "0", "2", "1", "0", "2", "4", "12", "-1", "412"));
    EXPECT_EQ(session.Get("IS_CA_ERROR"), "");
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(ReadProductVerPrmTest, MissingBuildCountsAsZero) {
    SetInputs("0", "1", "1", "4", "5", "");
    ReadProductVerPrm(session.Handle());
    EXPECT_EQ(session.Get("OLD_NUMBBUILD"), "0");
    EXPECT_EQ(session.Get("OLD_FULLVER"), "405");
}

TEST_F(ReadProductVerPrmTest, FullVersionWrapsLikeA32BitInteger) {
    SetInputs("0", "0", "0", "2147483647", "7", "0");
    ReadProductVerPrm(session.Handle());
    EXPECT_EQ(session.Get("OLD_FULLVER"), "-93");  // 2147483647 * 100 + 7 mod 2^32
}

TEST_F(ReadProductVerPrmTest, AnyMissingRequiredInputEndsQuietly) {
    for (int missing = 0; missing < 5; ++missing) {
        const char* values[5] = {"1", "1", "1", "4", "5"};
        values[missing] = "";
        SetInputs(values[0], values[1], values[2], values[3], values[4], "7");
        session.Set("IS_CA_ERROR", "1");  // left by an earlier action
        test::PropertyWrites writes;
        EXPECT_EQ(ReadProductVerPrm(session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty()) << "missing input " << missing;
        EXPECT_EQ(session.Get("IS_CA_ERROR"), "1");
    }
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(ReadProductVerPrmTest, FailedReadOfARequiredInputIsPublished) {
    test::PropertyWrites writes;
    EXPECT_EQ(ReadProductVerPrm(0xBAD), 0u);  // the installer answers 6
    const std::string code =
        "Code: 6 Point: WE8A6THXGYTSTEY:UA2ZR7G6343BL2A:A4LRP85LV7J52YM (0)(OLD_COMMONREG_READ)((null))";
    EXPECT_THAT(writes.Writes(),
                ElementsAre(std::pair<std::string, std::string>("IS_CA_ERROR", "1"),
                            std::pair<std::string, std::string>("CA_ERROR_TEXT", SystemErrorText(6)),
                            std::pair<std::string, std::string>("CA_ERROR_CODE", code)));
    EXPECT_THAT(log.Records(),
                ElementsAre("Code: 6 Point: A4LRP85LV7J52YM (0)(OLD_COMMONREG_READ)((null))",
                            "UA2ZR7G6343BL2A:A4LRP85LV7J52YM",
                            "WE8A6THXGYTSTEY:UA2ZR7G6343BL2A:A4LRP85LV7J52YM"));
}

// Fails the read of one named property with 1615, passes the others on.
const char* g_failingName;
UINT WINAPI FailOneRead(MSIHANDLE h, LPCSTR name, LPSTR buffer, LPDWORD size) {
    if (lstrcmpA(name, g_failingName) == 0) return ERROR_BAD_QUERY_SYNTAX;
    return MsiGetPropertyA(h, name, buffer, size);
}

TEST_F(ReadProductVerPrmTest, FailedReadOfTheBuildNumberHasItsOwnPoint) {
    SetInputs("1", "1", "1", "4", "5", "7");
    g_failingName = "OLD_NUMBBUILD_READ";
    PlatformOverride failing(&Platform::MsiGetPropertyA, &FailOneRead);
    test::PropertyWrites writes;
    ReadProductVerPrm(session.Handle());
    EXPECT_THAT(writes.Names(), ElementsAre("IS_CA_ERROR", "CA_ERROR_TEXT", "CA_ERROR_CODE"));
    EXPECT_EQ(session.Get("CA_ERROR_CODE"),
              "Code: 1615 Point: BY7FFLZK9FYNY58:UA2ZR7G6343BL2A:A4LRP85LV7J52YM "
              "(0)(OLD_NUMBBUILD_READ)((null))");
    EXPECT_EQ(session.Get("OLD_MAJORVER"), "");
    EXPECT_EQ(log.Records().back(), "BY7FFLZK9FYNY58:UA2ZR7G6343BL2A:A4LRP85LV7J52YM");
}

TEST_F(ReadProductVerPrmTest, ForeignExceptionIsRecordedAtTheCatchAllPoint) {
    SetInputs("1", "1", "1", "4", "5", "7");
    PlatformOverride throwing(&Platform::MsiGetPropertyA,
                              [](MSIHANDLE, LPCSTR, LPSTR, LPDWORD) -> UINT { test::ThrowForeign(14); });
    ReadProductVerPrm(session.Handle());
    EXPECT_EQ(session.Get("IS_CA_ERROR"), "1");
    EXPECT_EQ(session.Get("CA_ERROR_CODE"), "Code: 14 Point: MMZCH3X3YNRFBED ");
    EXPECT_EQ(session.Get("CA_ERROR_TEXT"), SystemErrorText(14));
    EXPECT_EQ(session.Get("REG_COMMONREG"), "");
    EXPECT_THAT(log.Records(), ElementsAre("Code: 14 Point: MMZCH3X3YNRFBED "));
}

}  // namespace
}  // namespace ca
