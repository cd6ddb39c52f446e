#include "diag/text_format.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace ca {
namespace {

std::vector<unsigned char> Counting(size_t n) {
    std::vector<unsigned char> bytes(n);
    std::iota(bytes.begin(), bytes.end(), static_cast<unsigned char>(0));
    return bytes;
}

TEST(HexDump, ShortLinesArePaddedToTheAsciiColumn) {
    const unsigned char one[] = {0x00};
    EXPECT_EQ(FormatHexDump(one, 1), "0000: 00" + std::string(25, ' ') + ".\r\n");

    const unsigned char four[] = {0x00, 0x01, 0x02, 0x03};
    EXPECT_EQ(FormatHexDump(four, 4), "0000: 00010203" + std::string(19, ' ') + "....\r\n");

    const unsigned char twelve[] = {'H', 'e', 'l', 'l', 'o', ',', ' ', 0x7F, 0x1F, '~', 0x80, 'Z'};
    EXPECT_EQ(FormatHexDump(twelve, 12), "0000: 48656C6C 6F2C207F 1F7E805A Hello, ..~.Z\r\n");

    // Every line length puts the ASCII column at column 34.
    const auto bytes = Counting(12);
    for (size_t r = 1; r <= 12; ++r) {
        const std::string line = FormatHexDump(bytes.data(), r);
        ASSERT_EQ(line.size(), 33 + r + 2) << r;
        const size_t hexEnd = 5 + 2 * r + (r + 3) / 4;  // just past the last digit
        EXPECT_NE(line[hexEnd - 1], ' ') << r;
        EXPECT_EQ(line.find_first_not_of(' ', hexEnd), 33u) << r;
    }
}

TEST(HexDump, ThirteenBytesMakeTwoLines) {
    auto bytes = Counting(13);
    bytes[12] = 'A';
    EXPECT_EQ(FormatHexDump(bytes.data(), bytes.size()),
              "0000: 00010203 04050607 08090A0B ............\r\n"
              "000C: 41" + std::string(25, ' ') + "A\r\n");
}

TEST(HexDump, LongBlocksStopAt65535Bytes) {
    const auto bytes = Counting(70000);
    const std::string dump = FormatHexDump(bytes.data(), bytes.size());
    EXPECT_EQ(dump, FormatHexDump(bytes.data(), 65535));
    // 5461 full lines and one of 3 bytes, the last at offset 0xFFFC.
    EXPECT_EQ(dump.size(), 5461u * 47 + (33 + 3 + 2));
    const size_t last = dump.rfind("\r\n", dump.size() - 3) + 2;
    EXPECT_EQ(dump.substr(last, 14), "FFFC: FCFDFE  ");
}

TEST(HexDump, NoBytesGiveTheNullLine) {
    const unsigned char byte = 1;
    EXPECT_EQ(FormatHexDump(nullptr, 4), "STRG: [NULL]\r\n");
    EXPECT_EQ(FormatHexDump(&byte, 0), "STRG: [NULL]\r\n");
}

TEST(StrgLine, BracketsTheText) {
    EXPECT_EQ(FormatStrgLine("Software\\Key"), "STRG: [Software\\Key]\r\n");
    EXPECT_EQ(FormatStrgLine(static_cast<const char*>(nullptr)), "STRG: []\r\n");
}

TEST(RootKey, PredefinedKeysByName) {
    const std::pair<uint32_t, const char*> keys[] = {
        {0x80000000, "HKCR"}, {0x80000001, "HKCU"}, {0x80000002, "HKLM"},
        {0x80000003, "HKUS"}, {0x80000004, "HKPD"}, {0x80000005, "HKCC"},
        {0x80000006, "HKDD"}, {0x80000050, "HKPT"}, {0x80000060, "HKPN"}};
    for (const auto& [value, name] : keys) {
        EXPECT_EQ(RootKeyName(value), name);
        EXPECT_EQ(FormatRootKeyLine(value), std::string("HKEY: ") + name + "\r\n");
    }
    EXPECT_EQ(RootKeyName(0x80000007), "");
    EXPECT_EQ(RootKeyName(0x00000A3C), "");
}

TEST(RootKey, OtherHandlesAsSignExtendedHex) {
    EXPECT_EQ(FormatRootKeyLine(0x00000123), "HKEY: 0x00000123\r\n");
    EXPECT_EQ(FormatRootKeyLine(0x00000A3C), "HKEY: 0x00000A3C\r\n");
    EXPECT_EQ(FormatRootKeyLine(0), "HKEY: 0x00000000\r\n");
    EXPECT_EQ(FormatRootKeyLine(0x7FFFFFFF), "HKEY: 0x7FFFFFFF\r\n");
    EXPECT_EQ(FormatRootKeyLine(0x80000007), "HKEY: 0xFFFFFFFF80000007\r\n");
}

TEST(GmtOffset, FromTheBias) {
    EXPECT_EQ(FormatGmtOffset(-180, false), "(GMT+3:00)");
    EXPECT_EQ(FormatGmtOffset(300, false), "(GMT-5:00)");
    EXPECT_EQ(FormatGmtOffset(210, false), "(GMT-3:30)");
    EXPECT_EQ(FormatGmtOffset(-345, false), "(GMT+5:45)");
    EXPECT_EQ(FormatGmtOffset(0, false), "(GMT+0:00)");
    EXPECT_EQ(FormatGmtOffset(-840, false), "(GMT+14:00)");
    // Less than an hour west keeps its sign.
    EXPECT_EQ(FormatGmtOffset(30, false), "(GMT-0:30)");
    // A failed query stands for -9999 minutes, whatever the bias says.
    EXPECT_EQ(FormatGmtOffset(-180, true), "(GMT-166:39)");
}

TEST(ErrDump, Layout) {
    EXPECT_EQ(FormatErrDumpLayout("P3:P2:P1", 5, "Denied", "line 1\r\nline 2\r\n", "07.03.2024 14:05",
                                  "(GMT+1:00)"),
              "Text : Denied\r\n"
              "Code : 5 (0x5)\r\n"
              "Time : 07.03.2024 14:05 (GMT+1:00)\r\n"
              "Point: P3:P2:P1\r\n"
              "Ext  :\r\nline 1\r\nline 2\r\n");
    // No extended text, no Ext line; a negative code in two's complement.
    EXPECT_EQ(FormatErrDumpLayout("P", -1, "", "", "", "(GMT+0:00)"),
              "Text : \r\nCode : -1 (0xFFFFFFFF)\r\nTime :  (GMT+0:00)\r\nPoint: P\r\n");
    EXPECT_EQ(FormatErrDumpLayout("", 5, "t", "e", "x", "y"), "");
}

}  // namespace
}  // namespace ca
