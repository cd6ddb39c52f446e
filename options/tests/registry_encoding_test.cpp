// The registry value encodings of pack items, both directions, over bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/cipher.h"
#include "options/codec/registry_encoding.h"

namespace ca {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Blob(uint8_t type, uint8_t mode, uint32_t count, const Bytes& values) {
    Bytes out = {0x68, 0x96, 0x79, 0x16, type, mode, static_cast<uint8_t>(count >> 24),
                 static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    for (uint8_t b : values) out.push_back(b);
    return out;
}

const uint8_t kBytes[] = {0x00, 0x41, 0xFF, 0x10, 0x7F};
const int32_t kNumbers[] = {1, -2};
const char* const kTexts[] = {"a", "b"};
const char* const kGappy[] = {"a", nullptr, ""};
const char* const kEmpties[] = {"", ""};
const PackBytes kBlocks[] = {{kBytes, 3}, {nullptr, -1}, {kBytes, 0}};

std::unique_ptr<PackItem> Item(int which) {
    switch (which) {
        case 0: return std::make_unique<PackItem>("n", -5);
        case 1: return std::make_unique<PackItem>("n", kNumbers, 2);
        case 2: return std::make_unique<PackItem>("n", static_cast<const int32_t*>(nullptr), 0);
        case 3: return std::make_unique<PackItem>("s", "abc");
        case 4: return std::make_unique<PackItem>("s", static_cast<const char*>(nullptr));
        case 5: return std::make_unique<PackItem>("s", kTexts, 2);
        case 6: return std::make_unique<PackItem>("s", kGappy, 3);
        case 7: return std::make_unique<PackItem>("s", kEmpties, 2);
        case 8: return std::make_unique<PackItem>("b", kBytes, 5, false);
        case 9: return std::make_unique<PackItem>("b", kBlocks, 3, false);
        case 10: return std::make_unique<PackItem>("x", kBytes, 5, true);
        case 11: return std::make_unique<PackItem>("x", kBlocks, 3, true);
        case 12: return std::make_unique<PackItem>("s", static_cast<const char* const*>(nullptr), 0);
        default: return nullptr;
    }
}
constexpr int kItems = 13;

TEST(RegistryEncoding, WriteDirection) {
    const struct {
        int item;
        int32_t mode;
        uint32_t type;
        Bytes data;
    } cases[] = {
        {0, 0, kRegDword, {0xFB, 0xFF, 0xFF, 0xFF}},
        {1, 1, kRegBinary, Blob(1, 0, 2, {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE})},  // 18 bytes, mode 0 always
        {2, 0, kRegBinary, Blob(1, 0, 0, {})},
        {3, 0, kRegSz, Of(std::string("abc", 4))},
        {4, 0, kRegSz, {0}},
        {12, 0, kRegSz, {}},
        {5, 0, kRegMultiSz, Of(std::string("a\0b\0\0", 5))},
        {6, 0, kRegMultiSz, Of(std::string("a\0\0\0\0", 5))},
        {8, 1, kRegBinary, Blob(3, 1, 1, {0, 0, 0, 5, 0x00, 0x41, 0xFF, 0x10, 0x7F})},
        {9, 0, kRegBinary, Blob(3, 0, 3, {0, 0, 0, 3, 0x00, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})},
        {10, 0, kRegBinary, Blob(5, 0, 1, {0, 0, 0, 5, 0x00, 0x41, 0xFF, 0x10, 0x7F})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        uint32_t type = 99;
        Bytes data = {1, 2, 3};  // replaced, not appended to
        EXPECT_EQ(EncodeRegistryValue(*Item(c.item), c.mode, nullptr, 0, type, data), 0);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
}

TEST(RegistryEncoding, EncipheredBlocksCarryTheCipherOutput) {
    uint32_t type = 0;
    Bytes data;
    ASSERT_EQ(EncodeRegistryValue(*Item(10), 1, nullptr, 0, type, data), 0);
    // Length 5 and the bytes, padded to 16 and enciphered with the zero key.
    uint8_t clear[16] = {0, 0, 0, 5, 0x00, 0x41, 0xFF, 0x10, 0x7F};
    uint8_t cipher[16];
    const uint8_t zeroKey[8] = {};
    ASSERT_TRUE(EncipherBlocks(clear, cipher, zeroKey, 16));
    Bytes values = {0, 0, 0, 16};
    values.insert(values.end(), cipher, cipher + 16);
    EXPECT_EQ(data, Blob(5, 1, 1, values));
}

TEST(RegistryEncoding, ItemsWithoutARegistryForm) {
    uint32_t type = 0;
    Bytes data;
    Pack inner;
    EXPECT_EQ(EncodeRegistryValue(PackItem("p", inner), 0, nullptr, 0, type, data), kEncodingInvalidData);
    EXPECT_EQ(EncodeRegistryValue(PackItem(), 0, nullptr, 0, type, data), kEncodingInvalidData);
    EXPECT_EQ(EncodeRegistryValue(*Item(10), 2, nullptr, 0, type, data), kEncodingInvalidData);
    // Without values there is nothing to encipher: stored under mode 0, it
    // reads back as the empty binx item it was.
    EXPECT_EQ(EncodeRegistryValue(PackItem("x", static_cast<const PackBytes*>(nullptr), 0, true), 2, nullptr, 0,
                                  type, data),
              0);
    int32_t binxMode = -1;
    std::unique_ptr<PackItem> back;
    ASSERT_EQ(DecodeRegistryValue("x", type, data.data(), data.size(), nullptr, 0, back, binxMode), 0);
    EXPECT_EQ(back->Type(), kPackItemBinx);
    EXPECT_EQ(back->Count(), 0);
    EXPECT_EQ(binxMode, 0);
}

std::unique_ptr<PackItem> Decode(uint32_t type, const Bytes& data, int32_t* binxMode = nullptr,
                                 int32_t* rc = nullptr) {
    std::unique_ptr<PackItem> item;
    int32_t mode = -1;
    const int32_t result = DecodeRegistryValue("v", type, data.data(), data.size(), nullptr, 0, item, mode);
    if (binxMode) *binxMode = mode;
    if (rc) *rc = result;
    return item;
}

std::vector<std::string> Texts(const PackItem& item) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < item.Count(); ++i) out.push_back(item.Text(i) ? item.Text(i) : "<null>");
    return out;
}

TEST(RegistryEncoding, ReadDirectionOfTexts) {
    using V = std::vector<std::string>;
    const struct {
        uint32_t type;
        Bytes data;
        V texts;
    } cases[] = {
        {kRegSz, Of(std::string("abc\0", 4)), {"abc"}},
        {kRegSz, Of("abc"), {"abc"}},  // stored without its NUL
        {kRegSz, Of(std::string("ab\0cd\0", 6)), {"ab"}},
        {kRegSz, {}, {""}},
        {kRegExpandSz, Of(std::string("%TEMP%\\x\0", 9)), {"%TEMP%\\x"}},  // not expanded
        // The list is read from its first byte: no character is lost.
        {kRegMultiSz, Of(std::string("a\0b\0\0", 5)), {"a", "b"}},
        {kRegMultiSz, Of(std::string("first\0second\0\0", 14)), {"first", "second"}},
        {kRegMultiSz, Of(std::string("a\0\0\0\0", 5)), {"a", "", ""}},
        {kRegMultiSz, Of(std::string("\0\0\0", 3)), {"", ""}},
        {kRegMultiSz, Of(std::string("a\0b", 3)), {"a", "b"}},  // a list without its end
        {kRegMultiSz, Of(std::string("a\0b\0", 4)), {"a", "b"}},
        {kRegMultiSz, Of(std::string("\0", 1)), {""}},
        {kRegMultiSz, {}, {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.data.begin(), c.data.end()));
        const auto item = Decode(c.type, c.data);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Type(), kPackItemStr);
        EXPECT_EQ(Texts(*item), c.texts);
    }
}

TEST(RegistryEncoding, ReadDirectionOfNumbersAndBlocks) {
    auto item = Decode(kRegDword, {0x78, 0x56, 0x34, 0x12, 0xEE});
    EXPECT_EQ(item->Type(), kPackItemInt);
    EXPECT_EQ(item->IntValue(0), 0x12345678);
    EXPECT_EQ(Decode(kRegDword, {})->IntValue(0), 0);
    EXPECT_EQ(Decode(kRegDword, {0x34, 0x12})->IntValue(0), 0x1234);

    item = Decode(kRegBinary, Blob(1, 7, 2, {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}));
    ASSERT_EQ(item->Type(), kPackItemInt);
    ASSERT_EQ(item->Count(), 2);
    EXPECT_EQ(item->IntValue(1), -2);

    int32_t binxMode = -1;
    item = Decode(kRegBinary, Blob(3, 1, 2, {0, 0, 0, 2, 0xAA, 0xBB, 0xFF, 0xFF, 0xFF, 0xF0}), &binxMode);
    ASSERT_EQ(item->Type(), kPackItemBin);
    ASSERT_EQ(item->Count(), 2);
    EXPECT_EQ(Bytes(item->Bytes(0).data, item->Bytes(0).data + 2), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(item->Bytes(1).length, -16);  // no bytes
    EXPECT_EQ(binxMode, 0);                  // a bin blob's mode says nothing

    uint32_t type = 0;
    Bytes data;
    ASSERT_EQ(EncodeRegistryValue(*Item(11), 1, nullptr, 0, type, data), 0);
    item = Decode(kRegBinary, data, &binxMode);
    ASSERT_EQ(item->Type(), kPackItemBinx);
    EXPECT_EQ(binxMode, 1);
    EXPECT_EQ(Bytes(item->Bytes(0).data, item->Bytes(0).data + item->Bytes(0).length), Bytes(kBytes, kBytes + 3));
}

TEST(RegistryEncoding, ReadDirectionOfOtherData) {
    const Bytes runsPast = Blob(3, 0, 1, {0, 0, 0, 9, 1});
    const Bytes endsEarly = Blob(1, 0, 1, {0, 0, 0, 1, 0});
    const Bytes negativeCount = Blob(1, 0, 0xFFFFFFFF, {});
    const Bytes hugeCount = Blob(3, 0, 0x7FFFFFFF, {0, 0, 0, 0});
    const Bytes badMode = Blob(5, 2, 1, {0, 0, 0, 1, 7});
    const Bytes unaligned = Blob(5, 1, 1, {0, 0, 0, 3, 1, 2, 3});
    const Bytes headerOnly = {0x68, 0x96, 0x79, 0x16, 3, 0, 0};
    for (const Bytes& raw : {Bytes{1, 2, 3}, Bytes{}, Bytes{0x68, 0x96, 0x79, 0x16}, Of("not a blob header"), runsPast,
                             endsEarly, negativeCount, hugeCount, badMode, unaligned, headerOnly}) {
        int32_t binxMode = -1;
        const auto item = Decode(kRegBinary, raw, &binxMode);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Type(), kPackItemBin);
        ASSERT_EQ(item->Count(), 1);
        EXPECT_EQ(item->Bytes(0).length, static_cast<int32_t>(raw.size()));
        if (!raw.empty()) {
            EXPECT_EQ(Bytes(item->Bytes(0).data, item->Bytes(0).data + raw.size()), raw);
        }
        EXPECT_EQ(binxMode, 0);
    }
    for (uint8_t type : {0, 2, 4, 6, 0xFF}) {
        int32_t rc = 0;
        EXPECT_EQ(Decode(kRegBinary, Blob(type, 0, 0, {}), nullptr, &rc), nullptr);
        EXPECT_EQ(rc, kEncodingInvalidData) << int(type);
        EXPECT_EQ(Decode(kRegBinary, {0x68, 0x96, 0x79, 0x16, type}, nullptr, &rc), nullptr);
    }

    const auto item = Decode(11 /* REG_QWORD */, {1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(item->Type(), kPackItemBin);
    const PackBytes tagged = item->Bytes(0);
    EXPECT_EQ(Bytes(tagged.data, tagged.data + tagged.length),
              Of(std::string("type=\x0B\0\0\0value=\x01\x02\x03\x04\x05\x06\x07\x08", 23)));
    EXPECT_EQ(Decode(kRegNone, {})->Bytes(0).length, 15);
}

// What the write direction produces reads back as the same item; values no
// writer produces (a text array of no texts, an empty enciphered block)
// settle after one pass.
TEST(RegistryEncoding, WrittenValuesReadBackAsTheirItems) {
    for (int which = 0; which < kItems; ++which) {
        for (int32_t mode : {0, 1}) {
            SCOPED_TRACE(std::to_string(which) + " mode " + std::to_string(mode));
            const auto original = Item(which);
            uint32_t type = 0;
            Bytes first, second;
            ASSERT_EQ(EncodeRegistryValue(*original, mode, nullptr, 0, type, first), 0);
            std::unique_ptr<PackItem> once, twice;
            int32_t binxMode = 0;
            ASSERT_EQ(DecodeRegistryValue(original->Name(), type, first.data(), first.size(), nullptr, 0, once,
                                          binxMode),
                      0);
            if (which != 12 && !(which == 11 && mode == 1)) {
                EXPECT_TRUE(ItemsEqual(*original, *once, 1));
            }
            ASSERT_EQ(EncodeRegistryValue(*once, binxMode, nullptr, 0, type, second), 0);
            ASSERT_EQ(DecodeRegistryValue(once->Name(), type, second.data(), second.size(), nullptr, 0, twice,
                                          binxMode),
                      0);
            EXPECT_TRUE(ItemsEqual(*once, *twice, 1));
        }
    }
}

TEST(RegistryEncoding, ValidationAndValueNames) {
    Pack ok;
    ok.Add(std::make_unique<PackItem>("a", 1));
    Pack nested;
    nested.Add(std::make_unique<PackItem>("inner", ok));
    EXPECT_EQ(ValidateForRegistry(nested), 0);

    const Pack* two[] = {&ok, &ok};
    Pack bad;
    bad.Add(std::make_unique<PackItem>("pair", two, 2));
    EXPECT_EQ(ValidateForRegistry(bad), kEncodingInvalidData);
    Pack deep;
    deep.Add(std::make_unique<PackItem>("x", 1));
    deep.Add(std::make_unique<PackItem>("level", bad));
    EXPECT_EQ(ValidateForRegistry(deep), kEncodingInvalidData);
    EXPECT_EQ(ValidateItemForRegistry(PackItem("none", static_cast<const Pack* const*>(nullptr), 0)), 0);

    EXPECT_STREQ(RegistryValueName(PackItem("<UNNAMED_VALUE>", 1)), "");
    EXPECT_STREQ(RegistryValueName(PackItem("", 1)), "");
    EXPECT_STREQ(RegistryValueName(PackItem("<Unnamed_Value>", 1)), "<Unnamed_Value>");
    EXPECT_EQ(ItemNameOfValue(""), "<UNNAMED_VALUE>");
    EXPECT_EQ(ItemNameOfValue("Name"), "Name");
}

}  // namespace
}  // namespace ca
