#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "options/codec/pack.h"

namespace ca {
namespace {

TEST(PackText, RendersTheExactLayout) {
    Pack sub;
    sub.SetMode(1, false);
    sub.Add(std::make_unique<PackItem>("s", static_cast<const char*>(nullptr)));
    const int32_t numbers[] = {1, 10};
    const uint8_t bytes[] = {0x41, 0x00, 0xFF};
    const uint8_t del[] = {0x7F};
    Pack pack;
    pack.Add(std::make_unique<PackItem>("n", 5));
    pack.Add(std::make_unique<PackItem>("big", 255));
    pack.Add(std::make_unique<PackItem>("t", "hi"));
    pack.Add(std::make_unique<PackItem>("arr", numbers, 2));
    pack.Add(std::make_unique<PackItem>("b", bytes, 3, false));
    pack.Add(std::make_unique<PackItem>("x", del, 1, true));
    pack.Add(std::make_unique<PackItem>("sub", sub));
    pack.Add(std::make_unique<PackItem>("e", static_cast<const void*>(nullptr), -2, false));
    pack.Add(std::make_unique<PackItem>());
    const std::string expected =
        "pack[0] \r\n"
        "------------------------------\r\n"
        "  \"n\" = 5\r\n"
        "  \"big\" = 255 (0xFF)\r\n"
        "  \"t\" = \"hi\"\r\n"
        "  \"arr\" int (2)\r\n"
        "  [0] = 1\r\n"
        "  [1] = 10 (0xA)\r\n"
        "  \"b\" (3) = 41 00 FF  [A..]\r\n"
        "  \"x\" (binx) (1) = 7F  [\x7F]\r\n"
        "  \"sub\" pack (e1)\r\n"
        "\r\n"
        "  ------------------------------\r\n"
        "    \"s\" = \"<NULL>\"\r\n"
        "  \"e\" (-2) =  []\r\n"
        "  \"<UNNAMED_VALUE>\" ??? (0)\r\n";
    EXPECT_EQ(RenderPackText(pack, 0), expected);
    EXPECT_EQ(RenderPackText(pack, nullptr, 0, 0), static_cast<int64_t>(expected.size()));

    std::string buffer(expected.size(), 'z');
    EXPECT_EQ(RenderPackText(pack, buffer.data(), buffer.size(), 0), kPackTruncated);
    EXPECT_EQ(buffer, std::string(expected.size(), 'z'));
}

TEST(PackText, ArraysOfPacksAndSorting) {
    Pack inner;
    inner.Add(std::make_unique<PackItem>("b", 1));
    inner.Add(std::make_unique<PackItem>("a", 2));
    const Pack* two[] = {&inner, &inner};
    Pack pack;
    pack.Add(std::make_unique<PackItem>("z", 0));
    pack.Add(std::make_unique<PackItem>("packs", two, 2));
    pack.SetMode(3, false);
    const std::string expected =
        "pack[0] (e3)\r\n"
        "\r\n"
        "------------------------------\r\n"
        "  \"packs\" pack (2)\r\n"
        "  [0] \r\n"
        "  ------------------------------\r\n"
        "    \"a\" = 2\r\n"
        "    \"b\" = 1\r\n"
        "  [1] \r\n"
        "  ------------------------------\r\n"
        "    \"a\" = 2\r\n"
        "    \"b\" = 1\r\n"
        "  \"z\" = 0\r\n";
    // Only a real buffer with a positive sort argument sorts.
    EXPECT_EQ(RenderPackText(pack, nullptr, 0, 1), static_cast<int64_t>(expected.size()));
    EXPECT_STREQ(pack.First()->Name(), "z");
    EXPECT_EQ(RenderPackText(pack, 1), expected);
    EXPECT_STREQ(pack.First()->Name(), "packs");
}

}  // namespace
}  // namespace ca
