// The property readers against the real installer engine.
#include "installer_session.h"
#include "runtime/properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace ca {
namespace {

TEST(GetStringProperty, ReadsValuesOfAnyLength) {
    test::InstallerSession session;
    ActionError e;
    std::string value = "old";
    ASSERT_TRUE(GetStringProperty(session.Handle(), "PRESET", value, e));
    EXPECT_EQ(value, "preset value");
    const std::string long_value(20000, 'q');
    session.Set("LONG", long_value);
    ASSERT_TRUE(GetStringProperty(session.Handle(), "LONG", value, e));
    EXPECT_EQ(value, long_value);
    // Undefined and empty read alike: empty.
    ASSERT_TRUE(GetStringProperty(session.Handle(), "NOT_DEFINED_ANYWHERE", value, e));
    EXPECT_EQ(value, "");
    session.Set("EMPTY", "");
    value = "x";
    ASSERT_TRUE(GetStringProperty(session.Handle(), "EMPTY", value, e));
    EXPECT_EQ(value, "");
}

TEST(GetIntProperty, ParsesAndFlagsEmptyValues) {
    test::InstallerSession session;
    ActionError e;
    int32_t value = -1;
    int empty = 0;
    ASSERT_TRUE(GetIntProperty(session.Handle(), "UNSET_INT", &value, e, &empty));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(empty, 1);
    session.Set("INT", " 12abc");
    empty = 0;
    ASSERT_TRUE(GetIntProperty(session.Handle(), "INT", &value, e, &empty));
    EXPECT_EQ(value, 12);
    EXPECT_EQ(empty, 0);
    // Both outputs are optional.
    ASSERT_TRUE(GetIntProperty(session.Handle(), "INT", nullptr, e));
    ASSERT_TRUE(GetIntProperty(session.Handle(), "UNSET_INT", nullptr, e, nullptr));
}

TEST(GetIntProperty, InvalidHandleLeavesTheReadersChain) {
    test::InstallerLog log;
    ActionError e;
    int32_t value = 0;
    EXPECT_FALSE(GetIntProperty(0xDEAD, "OLD_COMMONREG_READ", &value, e));
    EXPECT_EQ(e.Code(), 6);
    EXPECT_EQ(e.Point(), "UA2ZR7G6343BL2A:A4LRP85LV7J52YM");
    EXPECT_EQ(e.Extra(), "(0)(OLD_COMMONREG_READ)((null))");
    EXPECT_EQ(e.Text(), SystemErrorText(6));
    EXPECT_THAT(log.Records(),
                ElementsAre("Code: 6 Point: A4LRP85LV7J52YM (0)(OLD_COMMONREG_READ)((null))",
                            "UA2ZR7G6343BL2A:A4LRP85LV7J52YM"));
}

TEST(GetStringProperty, FailedAllocationIsReportedAsMoreData) {
    test::InstallerSession session;
    test::InstallerLog log;
    PlatformOverride noMemory(&Platform::malloc, [](size_t) -> void* { return nullptr; });
    ActionError e;
    std::string value;
    EXPECT_FALSE(GetStringProperty(session.Handle(), "PRESET", value, e));
    EXPECT_EQ(e.Code(), 234);
    EXPECT_EQ(e.Point(), "A4LRP85LV7J52YM");
    // The size is the needed length plus the terminator.
    EXPECT_EQ(e.Extra(), "(13)(PRESET)((null))");
    EXPECT_THAT(log.Records(), ElementsAre("Code: 234 Point: A4LRP85LV7J52YM (13)(PRESET)((null))"));
}

TEST(GetStringProperty, SecondReadFailureShowsTheBuffer) {
    test::InstallerSession session;
    static int calls;
    calls = 0;
    PlatformOverride failing(&Platform::MsiGetPropertyA,
                             [](MSIHANDLE, LPCSTR, LPSTR buffer, LPDWORD size) -> UINT {
                                 if (++calls == 1) {
                                     *size = 3;
                                     return ERROR_MORE_DATA;
                                 }
                                 lstrcpynA(buffer, "ab", 3);
                                 return ERROR_INVALID_PARAMETER;
                             });
    ActionError e;
    std::string value = "keep";
    EXPECT_FALSE(GetStringProperty(session.Handle(), "ANY", value, e));
    EXPECT_EQ(value, "keep");
    EXPECT_EQ(e.CodeLine(), "Code: 87 Point: A4LRP85LV7J52YM (4)(ANY)(ab)");
}

}  // namespace
}  // namespace ca
