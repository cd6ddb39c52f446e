#include "runtime/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace ca {
namespace {

TEST(ParseLeadingInteger, SkipsToTheFirstDigitOrMinus) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"", 0},       {"12", 12},   {"v3.1", 3},  {"abc", 0}, {"-7x", -7}, {"+5", 5},
        {"--5", 0},    {"- 5", 0},   {"007", 7},   {"1000", 1000}, {" 12", 12}, {"12abc", 12},
        {"a-", 0},     {"x-0", 0},   {"ver. 42", 42},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseLeadingInteger(c.text), c.value) << c.text;
}

TEST(ParseLeadingInteger, ClampsToTheSigned32BitRange) {
    EXPECT_EQ(ParseLeadingInteger("2147483647"), 2147483647);
    EXPECT_EQ(ParseLeadingInteger("2147483648"), 2147483647);
    EXPECT_EQ(ParseLeadingInteger("99999999999999999999999"), 2147483647);
    EXPECT_EQ(ParseLeadingInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseLeadingInteger("-2147483649"), INT32_MIN);
    EXPECT_EQ(ParseLeadingInteger("-000000000000000000000012"), -12);
}

TEST(FormatLogRecord, StampTwoBlanksTextAndOneLineEnd) {
    const LogStamp at{2014, 3, 3, 14, 5, 9};
    EXPECT_EQ(FormatLogRecord(at, "UA2ZR7G6343BL2A:A4LRP85LV7J52YM"),
              "2014.03.03 14:05:09  UA2ZR7G6343BL2A:A4LRP85LV7J52YM\r\n");
    EXPECT_EQ(FormatLogRecord(at, ""), "2014.03.03 14:05:09  \r\n");
    EXPECT_EQ(FormatLogRecord(at, "done\r\n"), "2014.03.03 14:05:09  done\r\n");
    EXPECT_EQ(FormatLogRecord(at, "a\r\nb"), "2014.03.03 14:05:09  a\r\nb\r\n");
    // Only a CR LF pair counts: a lone LF or CR still gets its CR LF, and no
    // CR is put in front of an LF.
    EXPECT_EQ(FormatLogRecord(at, "a\n"), "2014.03.03 14:05:09  a\n\r\n");
    EXPECT_EQ(FormatLogRecord(at, "a\r"), "2014.03.03 14:05:09  a\r\r\n");
}

TEST(DecimalText, SignedWithoutPadding) {
    EXPECT_EQ(DecimalText(0), "0");
    EXPECT_EQ(DecimalText(412), "412");
    EXPECT_EQ(DecimalText(-1), "-1");
    EXPECT_EQ(DecimalText(INT32_MIN), "-2147483648");
}

TEST(StringPrintf, LongOutputIsNotCut) {
    const std::string long_text(5000, 'x');
    EXPECT_EQ(StringPrintf("(%d)(%s)", 7, long_text.c_str()), "(7)(" + long_text + ")");
    EXPECT_EQ(StringPrintf("%s", ""), "");
}

}  // namespace
}  // namespace ca

namespace ca {
namespace {

TEST(AtoiClamped, ReadsLikeAtoiWithoutOverflow) {
    EXPECT_EQ(AtoiClamped(" 12"), 12);
    EXPECT_EQ(AtoiClamped("+7x"), 7);
    EXPECT_EQ(AtoiClamped("-3"), -3);
    EXPECT_EQ(AtoiClamped("abc"), 0);
    EXPECT_EQ(AtoiClamped("x12"), 0);  // unlike a property integer, no skipping
    EXPECT_EQ(AtoiClamped(""), 0);
    EXPECT_EQ(AtoiClamped("99999999999999999999"), INT_MAX);
    EXPECT_EQ(AtoiClamped("-99999999999999999999"), INT_MIN);
}

}  // namespace
}  // namespace ca
