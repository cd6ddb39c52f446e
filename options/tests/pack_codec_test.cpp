#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/cipher.h"
#include "options/codec/pack.h"
#include "options/tests/pack_test_util.h"

namespace ca {
namespace {

using testing::ByteForm;
using testing::TempFile;
using Bytes = std::vector<uint8_t>;

Bytes Write(const Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) {
    const int64_t size = PackSize(pack, key, keyLength);
    EXPECT_GE(size, 8);
    Bytes out(static_cast<size_t>(size));
    EXPECT_EQ(WritePack(pack, out.data(), out.size(), key, keyLength), size);
    return out;
}

// A tree with every item type, nesting, arrays and odd values.
std::unique_ptr<Pack> SampleTree(int32_t mode) {
    const uint8_t bytes[] = {0x00, 0x41, 0xFF, 0x7F, 0x20, 0x1F, 0x80, 0x09, 0x33};
    const PackBytes blocks[] = {{bytes, 9}, {bytes, 0}, {bytes, 4}, {bytes, 5}, {nullptr, -7}};
    const int32_t numbers[] = {0, -1, INT32_MAX, INT32_MIN};
    const char* texts[] = {"first", "", "\xC4\xD6"};
    Pack leaf;
    leaf.SetMode(mode, false);
    leaf.Add(std::make_unique<PackItem>("secret", blocks, 5, true));
    leaf.Add(std::make_unique<PackItem>("n", 42));
    Pack middle;
    middle.SetMode(mode, false);
    middle.Add(std::make_unique<PackItem>("leaf", leaf));
    middle.Add(std::make_unique<PackItem>("plain", bytes, 9, false));
    const Pack* two[] = {&leaf, &middle};
    auto root = std::make_unique<Pack>();
    root->SetMode(mode, false);
    root->Add(std::make_unique<PackItem>("ints", numbers, 4));
    root->Add(std::make_unique<PackItem>("texts", texts, 3));
    root->Add(std::make_unique<PackItem>("middle", middle));
    root->Add(std::make_unique<PackItem>("two", two, 2));
    root->Add(std::make_unique<PackItem>("", "unnamed"));
    root->Add(std::make_unique<PackItem>("x", bytes, 3, true));
    return root;
}

TEST(PackCodec, ExactLayoutOfASmallPack) {
    Pack empty;
    EXPECT_EQ(Write(empty), ByteForm().Pack(0, 0).Bytes());
    empty.SetMode(1, false);
    EXPECT_EQ(Write(empty), ByteForm().Pack(0, 1).Bytes());

    Pack pack;
    pack.Add(std::make_unique<PackItem>("i", -2));
    const char* texts[] = {nullptr, "", "ab"};
    pack.Add(std::make_unique<PackItem>("s", texts, 3));
    const uint8_t raw[] = {9, 8, 7};
    pack.Add(std::make_unique<PackItem>("b", raw, 3, false));
    pack.Add(std::make_unique<PackItem>("x", raw, 3, true));
    const Bytes expected = ByteForm()
                               .Pack(4, 0)
                               .Item(1, 1, "i").I32(-2)
                               .Item(2, 3, "s").Text("").Text("").Text("ab")
                               .Item(3, 1, "b").U32(3).Raw({9, 8, 7})
                               .Item(5, 1, "x").U32(3).Raw({9, 8, 7})
                               .Bytes();
    EXPECT_EQ(Write(pack), expected);

    // Absent and empty texts both read back as empty texts.
    Pack back;
    EXPECT_EQ(ReadPack(back, expected.data(), expected.size(), nullptr, 0), static_cast<int64_t>(expected.size()));
    ASSERT_NE(back.Find("s"), nullptr);
    EXPECT_STREQ(back.Find("s")->Text(0), "");
    EXPECT_STREQ(back.Find("s")->Text(1), "");
    EXPECT_TRUE(PacksEqual(pack, back, 1));
}

TEST(PackCodec, RoundTripsInMemoryAndThroughStreams) {
    const uint8_t key[] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1, 0xEE};
    for (int32_t mode : {0, 1}) {
        for (int32_t keyLength : {0, 3, 9}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " key " << keyLength);
            const auto tree = SampleTree(mode);
            const Bytes bytes = Write(*tree, key, keyLength);
            // Trailing bytes after the pack are not examined.
            Bytes padded = bytes;
            padded.insert(padded.end(), {0xDE, 0xAD});
            Pack back;
            ASSERT_EQ(ReadPack(back, padded.data(), padded.size(), key, keyLength), static_cast<int64_t>(bytes.size()));
            // The 4- and 5-byte binx values survive; the others need the
            // normalisation checked in BinxFraming below.
            EXPECT_TRUE(ItemsEqual(*tree->Find("x"), *back.Find("x"), 1));
            EXPECT_TRUE(ItemsEqual(*tree->Find("ints"), *back.Find("ints"), 1));
            EXPECT_TRUE(ItemsEqual(*tree->Find("texts"), *back.Find("texts"), 1));
            EXPECT_EQ(back.Find("two")->NestedPack(1)->Owner(), back.Find("two"));
            // Once read, a tree writes the same bytes again.
            const Bytes again = Write(back, key, keyLength);
            Pack third;
            ASSERT_EQ(ReadPack(third, again.data(), again.size(), key, keyLength), static_cast<int64_t>(again.size()));
            EXPECT_TRUE(PacksEqual(back, third, 1));
            if (mode == 0) {
                EXPECT_TRUE(PacksEqual(*tree, back, 1));
                EXPECT_EQ(again, bytes);
            }

            TempFile file("roundtrip");
            std::FILE* out = file.Open("w+b");
            ASSERT_NE(out, nullptr);
            ASSERT_EQ(WritePack(*tree, out, key, keyLength), static_cast<int64_t>(bytes.size()));
            std::fputs("tail", out);
            std::rewind(out);
            Pack streamed;
            ASSERT_EQ(ReadPack(streamed, out, 0, key, keyLength), static_cast<int64_t>(bytes.size()));
            EXPECT_EQ(std::ftell(out), static_cast<long>(bytes.size()));  // sequential: stops after the pack
            EXPECT_TRUE(PacksEqual(streamed, back, 1));
            std::rewind(out);
            Pack bounded;
            EXPECT_EQ(ReadPack(bounded, out, bytes.size() - 1, key, keyLength), kPackTruncated);
            std::fclose(out);
        }
    }
}

TEST(PackCodec, BinxFraming) {
    // Mode 1 sizes: length prefix plus value, padded to whole blocks.
    EXPECT_EQ(BinxStoredSize(0, 1), 8);
    EXPECT_EQ(BinxStoredSize(4, 1), 8);
    EXPECT_EQ(BinxStoredSize(5, 1), 16);
    EXPECT_EQ(BinxStoredSize(12, 1), 16);
    EXPECT_EQ(BinxStoredSize(-3, 1), 8);
    EXPECT_EQ(BinxStoredSize(INT32_MAX, 1), kPackTruncated);
    EXPECT_EQ(BinxStoredSize(5, 0), 5);
    EXPECT_EQ(BinxStoredSize(5, 2), kPackInvalid);

    const uint8_t zeroKey[8] = {};
    auto readBinx = [](const Bytes& stored, int32_t mode) {
        Bytes form = ByteForm().Pack(1, mode).Item(5, 1, "v").I32(static_cast<int32_t>(stored.size())).Raw(stored).Bytes();
        Pack pack;
        const int64_t rc = ReadPack(pack, form.data(), form.size(), nullptr, 0);
        EXPECT_EQ(rc, static_cast<int64_t>(form.size()));
        const PackBytes value = rc > 0 ? pack.First()->Bytes(0) : PackBytes{};
        return Bytes(value.data, value.data + (value.length > 0 ? value.length : 0));
    };
    auto encipher = [&](Bytes clear) {
        Bytes out(clear.size());
        EncipherBlocks(clear.data(), out.data(), zeroKey, static_cast<int32_t>(clear.size()));
        return out;
    };
    // The writer's form: a zero-length value comes back as 4 zero bytes.
    Pack pack;
    pack.SetMode(1, false);
    pack.Add(std::make_unique<PackItem>("v", static_cast<const void*>(nullptr), 0, true));
    Bytes written = Write(pack);
    EXPECT_EQ(written.size(), 8u + 4 + 4 + 2 + 4 + 8);
    EXPECT_EQ(readBinx(Bytes(written.end() - 8, written.end()), 1), Bytes(4, 0));
    // A length prefix that is too large, zero or negative: the whole block.
    for (uint8_t prefix : {0x00, 0x80}) {
        Bytes clear = {prefix, 0, 0, 0x0D, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        EXPECT_EQ(readBinx(encipher(clear), 1), Bytes(clear.begin() + 4, clear.end()));
    }
    Bytes clear = {0, 0, 0, 3, 'a', 'b', 'c', 'd'};
    EXPECT_EQ(readBinx(encipher(clear), 1), Bytes({'a', 'b', 'c'}));
    // Mode 0 keeps the stored bytes.
    EXPECT_EQ(readBinx(clear, 0), clear);

    // The public framing helpers agree with the codec.
    std::unique_ptr<uint8_t[]> value;
    int32_t length = 0;
    const Bytes stored = encipher(clear);
    ASSERT_EQ(BinxDecode(stored.data(), 8, 1, nullptr, 0, length, value), 0);
    EXPECT_EQ(Bytes(value.get(), value.get() + length), Bytes({'a', 'b', 'c'}));
    Bytes encoded(8);
    EXPECT_EQ(BinxEncode(clear.data() + 4, 3, 1, nullptr, 0, encoded.data(), 8), 8);
    Bytes expectedClear = {0, 0, 0, 3, 'a', 'b', 'c', 0};
    EXPECT_EQ(encoded, encipher(expectedClear));
    EXPECT_EQ(BinxEncode(clear.data(), 3, 1, nullptr, 0, encoded.data(), 7), kPackTruncated);
    EXPECT_EQ(BinxDecode(stored.data(), 12, 1, nullptr, 0, length, value), kPackTruncated);
    EXPECT_EQ(BinxDecode(stored.data(), 8, 3, nullptr, 0, length, value), kPackInvalid);
}

TEST(PackCodec, LaterDuplicateReplacesEarlier) {
    const Bytes form = ByteForm().Pack(3, 0).Item(1, 1, "a").I32(1).Item(1, 1, "b").I32(2).Item(1, 1, "a").I32(3).Bytes();
    Pack pack;
    ASSERT_EQ(ReadPack(pack, form.data(), form.size(), nullptr, 0), static_cast<int64_t>(form.size()));
    ASSERT_EQ(pack.Count(), 2);
    EXPECT_STREQ(pack.First()->Name(), "b");
    EXPECT_STREQ(pack.Last()->Name(), "a");
    EXPECT_EQ(pack.Last()->IntValue(0), 3);
}

TEST(PackCodec, EmptyInputReadsNothing) {
    Pack pack;
    const uint8_t byte = 0;
    EXPECT_EQ(ReadPack(pack, &byte, 0, nullptr, 0), 0);
    EXPECT_EQ(ReadPack(pack, static_cast<const uint8_t*>(nullptr), 0, nullptr, 0), 0);
    EXPECT_EQ(pack.Count(), 0);
    std::unique_ptr<PackItem> item;
    EXPECT_EQ(ReadItem(item, 0, &byte, 0, nullptr, 0), 0);
    EXPECT_EQ(item, nullptr);
}

struct BadInput {
    const char* what;
    Bytes form;
    int64_t expected;
};

TEST(PackCodec, ReaderChecks) {
    const std::vector<BadInput> cases = {
        {"no count", {0, 0, 0}, -1},
        {"no mode", ByteForm().I32(0).Bytes(), -1},
        {"count beyond 4 bytes per item", ByteForm().Pack(3, 0).Raw(Bytes(11, 0)).Bytes(), -1},
        {"negative pack count", ByteForm().Pack(-1, 0).Raw(Bytes(64, 0)).Bytes(), -1},
        {"pack count wrapping to a small size", ByteForm().Pack(INT32_MIN, 0).Raw(Bytes(64, 0)).Bytes(), -1},
        {"no item type", ByteForm().Pack(1, 0).Raw({0, 0}).Bytes(), -1},
        {"no value count", ByteForm().Pack(1, 0).I32(1).Raw({0, 0}).Bytes(), -1},
        {"negative value count", ByteForm().Pack(1, 0).Item(1, -1, "a").Raw(Bytes(32, 0)).Bytes(), -1},
        {"value count beyond 4 bytes each", ByteForm().Pack(1, 0).I32(1).I32(4).Raw(Bytes(15, 'a')).Bytes(), -1},
        {"text count beyond 1 byte each", ByteForm().Pack(1, 0).Item(2, 4, "s").Raw({0, 0, 0}).Bytes(), -1},
        {"name without NUL", ByteForm().Pack(1, 0).I32(1).I32(0).Raw({'a', 'b', 'c'}).Bytes(), -1},
        {"type 4", ByteForm().Pack(1, 0).Item(4, 0, "a").Bytes(), -2},
        {"type 6", ByteForm().Pack(1, 0).Item(6, 0, "a").Bytes(), -2},
        {"type -1", ByteForm().Pack(1, 0).Item(-1, 0, "a").Bytes(), -2},
        {"int cut short", ByteForm().Pack(1, 0).Item(1, 1, "a").Raw({0, 0, 1}).Bytes(), -1},
        {"str without NUL", ByteForm().Pack(1, 0).Item(2, 1, "a").Raw({'x', 'y', 'z', 'w'}).Bytes(), -1},
        {"bin without length", ByteForm().Pack(1, 0).Item(3, 1, "a").Raw({0, 0, 0}).Bytes(), -1},
        {"bin bytes cut short", ByteForm().Pack(1, 0).Item(3, 1, "a").I32(5).Raw({1, 2, 3, 4}).Bytes(), -1},
        {"bin huge length", ByteForm().Pack(1, 0).Item(3, 1, "a").I32(INT32_MAX).Raw({1, 2, 3, 4}).Bytes(), -1},
        {"binx bytes cut short", ByteForm().Pack(1, 0).Item(5, 1, "a").I32(16).Raw(Bytes(8, 0)).Bytes(), -1},
        {"binx not whole blocks", ByteForm().Pack(1, 1).Item(5, 1, "a").I32(12).Raw(Bytes(12, 0)).Bytes(), -1},
        {"binx mode 2", ByteForm().Pack(1, 2).Item(5, 1, "a").I32(8).Raw(Bytes(8, 0)).Bytes(), -2},
        {"binx mode -1", ByteForm().Pack(1, -1).Item(5, 1, "a").I32(0).Bytes(), -2},
        {"nested pack cut short", ByteForm().Pack(1, 0).Item(0, 1, "p").Pack(1, 0).Bytes(), -1},
        {"nested negative count", ByteForm().Pack(1, 0).Item(0, 1, "p").Pack(-5, 0).Raw(Bytes(40, 0)).Bytes(), -1},
    };
    for (const auto& c : cases) {
        Pack pack;
        EXPECT_EQ(ReadPack(pack, c.form.data(), c.form.size(), nullptr, 0), c.expected) << c.what;
        EXPECT_EQ(CheckPack(c.form.data(), c.form.size()), c.expected) << c.what << " (check)";
        TempFile file("checks");
        std::FILE* stream = file.Open("w+b");
        ASSERT_NE(stream, nullptr);
        std::fwrite(c.form.data(), 1, c.form.size(), stream);
        std::rewind(stream);
        Pack streamed;
        EXPECT_EQ(ReadPack(streamed, stream, 0, nullptr, 0), c.expected) << c.what << " (stream)";
        std::fclose(stream);
    }
}

TEST(PackCodec, AcceptedOddities) {
    // Lengths of 0 or less consume only the length; mode 2 is fine without
    // binx values; a pack item may hold no packs.
    const Bytes form = ByteForm()
                           .Pack(4, 2)
                           .Item(3, 2, "b").I32(0).I32(-9)
                           .Item(1, 1, "i").I32(7)
                           .Item(0, 0, "p")
                           .Item(5, 0, "x")
                           .Bytes();
    Pack pack;
    ASSERT_EQ(ReadPack(pack, form.data(), form.size(), nullptr, 0), static_cast<int64_t>(form.size()));
    EXPECT_EQ(pack.Mode(), 2);
    EXPECT_EQ(pack.Find("b")->Bytes(1).length, -9);
    EXPECT_EQ(pack.Find("b")->Bytes(1).data, nullptr);
    EXPECT_EQ(Write(pack), form);
    EXPECT_EQ(pack.FindPath("p\\q", false), nullptr);
    // A binx value in that pack cannot be written.
    pack.Add(std::make_unique<PackItem>("y", static_cast<const void*>(nullptr), 0, true));
    EXPECT_EQ(PackSize(pack, nullptr, 0), kPackInvalid);
    Bytes buffer(256);
    EXPECT_EQ(WritePack(pack, buffer.data(), buffer.size(), nullptr, 0), kPackInvalid);
    // Nor can an item without a valid type.
    Pack withEmpty;
    withEmpty.Add(std::make_unique<PackItem>());
    EXPECT_EQ(PackSize(withEmpty, nullptr, 0), kPackInvalid);
}

TEST(PackCodec, ItemsReadBeforeAnErrorStay) {
    const Bytes form = ByteForm().Pack(3, 0).Item(1, 1, "a").I32(1).Item(1, 1, "b").I32(2).Item(4, 0, "c").Bytes();
    Pack pack;
    EXPECT_EQ(ReadPack(pack, form.data(), form.size(), nullptr, 0), kPackInvalid);
    EXPECT_EQ(pack.Count(), 2);
}

TEST(PackCodec, EveryTruncationFailsCleanly) {
    const Bytes bytes = Write(*SampleTree(1));
    for (size_t size = 1; size < bytes.size(); ++size) {
        Bytes prefix(bytes.begin(), bytes.begin() + static_cast<long>(size));  // exact allocation for ASan
        Pack pack;
        ASSERT_EQ(ReadPack(pack, prefix.data(), prefix.size(), nullptr, 0), kPackTruncated) << size;
    }
}

TEST(PackCodec, WriterChecksCapacityAndStreams) {
    const auto tree = SampleTree(1);
    const Bytes bytes = Write(*tree);
    for (size_t capacity = 0; capacity < bytes.size(); ++capacity) {
        Bytes buffer(capacity + 1, 0xCC);
        ASSERT_EQ(WritePack(*tree, buffer.data(), capacity, nullptr, 0), kPackTruncated) << capacity;
        ASSERT_EQ(buffer[capacity], 0xCC) << capacity;  // nothing beyond the capacity
    }
    EXPECT_EQ(WritePack(*tree, nullptr, 0, nullptr, 0), static_cast<int64_t>(bytes.size()));

    TempFile file("readonly");
    std::FILE* create = file.Open("wb");
    ASSERT_NE(create, nullptr);
    std::fclose(create);
    std::FILE* readOnly = file.Open("rb");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(WritePack(*tree, readOnly, nullptr, 0), kPackTruncated);
    std::fclose(readOnly);
}

TEST(PackCodec, SingleItems) {
    const auto tree = SampleTree(1);
    const PackItem& item = *tree->Find("two");
    const int64_t size = ItemSize(item, 1, nullptr, 0);
    ASSERT_GT(size, 0);
    Bytes bytes(static_cast<size_t>(size));
    ASSERT_EQ(WriteItem(item, 1, bytes.data(), bytes.size(), nullptr, 0), size);
    std::unique_ptr<PackItem> back;
    ASSERT_EQ(ReadItem(back, 1, bytes.data(), bytes.size(), nullptr, 0), size);
    EXPECT_EQ(back->Parent(), nullptr);
    EXPECT_EQ(back->NestedPack(0)->Owner(), back.get());

    const PackItem& binx = *tree->Find("x");
    Bytes small(static_cast<size_t>(ItemSize(binx, 1, nullptr, 0)));
    ASSERT_EQ(WriteItem(binx, 1, small.data(), small.size(), nullptr, 0), static_cast<int64_t>(small.size()));
    TempFile file("item");
    std::FILE* stream = file.Open("w+b");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(WriteItem(binx, 1, stream, nullptr, 0), static_cast<int64_t>(small.size()));
    std::rewind(stream);
    std::unique_ptr<PackItem> streamed;
    ASSERT_EQ(ReadItem(streamed, 1, stream, 0, nullptr, 0), static_cast<int64_t>(small.size()));
    EXPECT_TRUE(ItemsEqual(binx, *streamed, 1));
    std::fclose(stream);
    EXPECT_EQ(WriteItem(binx, 2, small.data(), small.size(), nullptr, 0), kPackInvalid);
}

Bytes NestedForm(int levels) {
    // `levels` packs below the top-level one, each in an item "p".
    ByteForm form;
    for (int i = 0; i < levels; ++i) form.Pack(1, 0).Item(0, 1, "p");
    form.Pack(0, 0);
    return form.Bytes();
}

TEST(PackCodec, NestingIsCappedAtTheRegistryDepth) {
    const Bytes deepest = NestedForm(kMaxPackDepth);
    Pack pack;
    ASSERT_EQ(ReadPack(pack, deepest.data(), deepest.size(), nullptr, 0), static_cast<int64_t>(deepest.size()));
    EXPECT_EQ(Write(pack), deepest);
    const Bytes tooDeep = NestedForm(kMaxPackDepth + 1);
    Pack refused;
    EXPECT_EQ(ReadPack(refused, tooDeep.data(), tooDeep.size(), nullptr, 0), kPackTruncated);
    // Far deeper input fails the same way instead of exhausting the stack.
    const Bytes hostile = NestedForm(200000);
    Pack hostilePack;
    EXPECT_EQ(ReadPack(hostilePack, hostile.data(), hostile.size(), nullptr, 0), kPackTruncated);
    EXPECT_EQ(CheckPack(deepest.data(), deepest.size()), static_cast<int64_t>(deepest.size()));
    EXPECT_EQ(CheckPack(tooDeep.data(), tooDeep.size()), kPackTruncated);
    EXPECT_EQ(CheckPack(hostile.data(), hostile.size()), kPackTruncated);
}

}  // namespace
}  // namespace ca

namespace ca {
namespace {

// A text array of empty texts takes one byte a value: written last in a
// pack, it must still read back (the reader once wanted four bytes a value).
TEST(PackCodec, ArraysOfEmptyTextsReadBack) {
    const char* const texts[] = {"", nullptr, "", "", "", "", "", ""};
    Pack pack;
    pack.Add(std::make_unique<PackItem>("empties", texts, 8));
    std::vector<uint8_t> bytes(static_cast<size_t>(PackSize(pack, nullptr, 0)));
    ASSERT_EQ(WritePack(pack, bytes.data(), bytes.size(), nullptr, 0),
              static_cast<int64_t>(bytes.size()));
    Pack back;
    ASSERT_EQ(ReadPack(back, bytes.data(), bytes.size(), nullptr, 0),
              static_cast<int64_t>(bytes.size()));
    EXPECT_TRUE(PacksEqual(pack, back, 1));
}

}  // namespace
}  // namespace ca
