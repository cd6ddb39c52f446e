#include "runtime/text.h"
#include "runtime/transaction.h"

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

// Lead bytes of Shift-JIS, whose trail bytes include "[", "]", "{" and "}".
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

TEST(EscapeFormattedText, EscapesWhatTheInstallerWouldFormat) {
    const struct {
        const char* text;
        const char* escaped;
    } cases[] = {
        {"", ""},
        {"Code: 6 Point: A4LRP85LV7J52YM (0)(NAME)((null))", "Code: 6 Point: A4LRP85LV7J52YM (0)(NAME)((null))"},
        {"Code: 13 Point: P [text][ext]", "Code: 13 Point: P [\\[]text[\\]][\\[]ext[\\]]"},
        {"[ProductName] [1] [~] [\\[]", "[\\[]ProductName[\\]] [\\[]1[\\]] [\\[]~[\\]] [\\[]\\[\\[][\\]]"},
        {"{{hidden}} C:\\a\\b", "[\\{][\\{]hidden[\\}][\\}] C:\\a\\b"},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeFormattedText(c.text), c.escaped) << c.text;
}

TEST(EscapeFormattedText, KeepsTheTrailBytesOfDoubleByteCharacters) {
    // 0x95 0x5B and 0x83 0x7D are single characters; the "[" after them is not.
    const std::string text = "\x95\x5B\x83\x7D[";
    EXPECT_EQ(EscapeFormattedText(text, &ShiftJisLead), "\x95\x5B\x83\x7D[\\[]");
    // Without the code page's lead bytes, every bracket byte is escaped.
    EXPECT_EQ(EscapeFormattedText(text), "\x95[\\[]\x83[\\}][\\[]");
    // A lead byte at the very end has no trail byte to protect.
    EXPECT_EQ(EscapeFormattedText("a]\x95", &ShiftJisLead), "a[\\]]\x95");
}

TEST(SplitTransactionSwitch, OnlyATrailingBracedGuidCounts) {
    const std::string code = "{12345678-9ABC-DEF0-1234-56789abcdef0}";
    const struct {
        std::string given, data, product, run;
    } rows[] = {
        {"a;b;" "|" + code, "a;b;", code},
        {"a;b;|run 12/9/2026 14:05:09|" + code, "a;b;", code, "12/9/2026 14:05:09"},
        {"a|run;b;|" + code, "a|run;b;", code},    // a bar in the fields is no run
        {"a;b;|run 1|x|" + code, "a;b;|run 1|x", code},
        {"a|b;|" + code, "a|b;", code},          // a bar inside the fields stays in them
        {"a;b;|" + code + "|", "a;b;|" + code + "|", ""},
        {"a;b;|" + code + " ", "a;b;|" + code + " ", ""},
        {"a;b;|{12345678-9ABC-DEF0-1234-56789ABCDEFG}", "a;b;|{12345678-9ABC-DEF0-1234-56789ABCDEFG}", ""},
        {"a;b;|12345678-9ABC-DEF0-1234-56789ABCDEF0", "a;b;|12345678-9ABC-DEF0-1234-56789ABCDEF0", ""},
        {"a;b;|", "a;b;|", ""},  // rollback disabled: the setter leaves the code out
        {"|" + code, "", code},
    };
    for (const auto& row : rows) {
        const TransactionSwitch split = SplitTransactionSwitch(row.given);
        EXPECT_EQ(split.data, row.data) << row.given;
        EXPECT_EQ(split.productCode, row.product) << row.given;
        EXPECT_EQ(split.run, row.run) << row.given;
    }
}

}  // namespace
}  // namespace ca
