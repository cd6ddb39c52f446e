#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/pack.h"

namespace ca {
namespace {

std::vector<std::string> Names(const Pack& pack) {
    std::vector<std::string> names;
    for (const PackItem* item = pack.First(); item; item = item->Next()) names.push_back(item->Name());
    return names;
}

PackItem* AddInt(Pack& pack, const char* name, int32_t value) {
    return pack.Add(std::make_unique<PackItem>(name, value));
}

TEST(PackTree, AddReplacesByNameAndMovesTheNewestLast) {
    Pack pack;
    AddInt(pack, "a", 1);
    AddInt(pack, "b", 2);
    PackItem* c = AddInt(pack, "c", 3);
    EXPECT_EQ(pack.Cursor(), c);
    PackItem* again = AddInt(pack, "a", 4);
    EXPECT_EQ(Names(pack), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(pack.Count(), 3);
    EXPECT_EQ(again->Parent(), &pack);
    EXPECT_EQ(pack.Find("a")->IntValue(0), 4);
}

TEST(PackTree, UnnamedItemsAndEmptyLookups) {
    Pack pack;
    pack.Add(std::make_unique<PackItem>("", 7));
    EXPECT_STREQ(pack.First()->Name(), kUnnamedValue);
    pack.Add(std::make_unique<PackItem>(nullptr, 8));  // replaces the first
    EXPECT_EQ(pack.Count(), 1);
    EXPECT_EQ(pack.Find("")->IntValue(0), 8);
    EXPECT_EQ(pack.Find(nullptr)->IntValue(0), 8);
    EXPECT_STREQ(PackItem().Name(), kUnnamedValue);
    EXPECT_EQ(PackItem().Type(), kPackItemEmpty);
}

TEST(PackTree, FindAndRemoveMoveTheCursor) {
    Pack pack;
    AddInt(pack, "a", 1);
    PackItem* b = AddInt(pack, "b", 2);
    PackItem* c = AddInt(pack, "c", 3);
    EXPECT_EQ(pack.Find("b"), b);
    EXPECT_EQ(pack.Cursor(), b);
    EXPECT_EQ(pack.Find("zz"), nullptr);
    EXPECT_EQ(pack.Cursor(), b);
    std::unique_ptr<PackItem> removed = pack.Remove("b");
    ASSERT_EQ(removed.get(), b);
    EXPECT_EQ(removed->Parent(), nullptr);
    EXPECT_EQ(pack.Cursor(), c);
    EXPECT_EQ(pack.Count(), 2);
    EXPECT_EQ(pack.Remove("b"), nullptr);
    EXPECT_EQ(Names(pack), (std::vector<std::string>{"a", "c"}));
    pack.Clear();
    EXPECT_EQ(pack.Count(), 0);
    EXPECT_EQ(pack.First(), nullptr);
}

TEST(PackTree, NameComparisonFollowsTheRootOfTheTree) {
    Pack inner;
    inner.Add(std::make_unique<PackItem>("Key", 1));
    Pack root;
    PackItem* holder = root.Add(std::make_unique<PackItem>("Sub", inner));
    Pack* nested = holder->NestedPack(0);
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->Owner(), holder);
    EXPECT_EQ(nested->Find("KEY"), nullptr);
    root.SetCaseSensitiveNames(0);
    EXPECT_NE(nested->Find("KEY"), nullptr);
    EXPECT_NE(root.Find("sUB"), nullptr);
    // Adding under case-insensitive comparison replaces the other spelling.
    nested->Add(std::make_unique<PackItem>("kEy", 2));
    EXPECT_EQ(nested->Count(), 1);
    EXPECT_STREQ(nested->First()->Name(), "kEy");

    // A detached item is the root of its own tree.
    PackItem lone("Top", inner);
    EXPECT_EQ(lone.NestedPack(0)->Find("key"), nullptr);
    lone.SetCaseSensitiveNames(0);
    EXPECT_NE(lone.NestedPack(0)->Find("key"), nullptr);
}

TEST(PackTree, LargePacksKeepOrderAndReplaceSemantics) {
    // Past the size where the name index takes over.
    Pack pack;
    for (int i = 0; i < 1000; ++i) AddInt(pack, ("n" + std::to_string(i)).c_str(), i);
    for (int i = 0; i < 1000; i += 3) AddInt(pack, ("n" + std::to_string(i)).c_str(), -i);
    for (int i = 1; i < 1000; i += 3) ASSERT_NE(pack.Remove(("n" + std::to_string(i)).c_str()), nullptr);
    EXPECT_EQ(pack.Count(), 1000 - 333);
    for (int i = 0; i < 1000; ++i) {
        PackItem* item = pack.Find(("n" + std::to_string(i)).c_str());
        if (i % 3 == 1) {
            EXPECT_EQ(item, nullptr);
        } else {
            ASSERT_NE(item, nullptr) << i;
            EXPECT_EQ(item->IntValue(0), i % 3 == 0 ? -i : i);
        }
    }
    // Replaced items come last, in the order they were added again.
    EXPECT_STREQ(pack.Last()->Name(), "n999");
    EXPECT_STREQ(pack.First()->Name(), "n2");
    // With names that collide once case is ignored, the earliest wins.
    Pack mixed;
    for (int i = 0; i < 20; ++i) AddInt(mixed, ("x" + std::to_string(i)).c_str(), i);
    AddInt(mixed, "Dup", 1);
    AddInt(mixed, "dup", 2);
    mixed.SetCaseSensitiveNames(0);
    EXPECT_EQ(mixed.Find("DUP")->IntValue(0), 1);

    // Every spelling of one name, in a large pack that compares names byte
    // for byte: each is an item of its own and found as such; once the tree
    // ignores case the earliest answers them all, and the index follows the
    // tree's setting back and forth.
    Pack spellings;
    for (int i = 0; i < 256; ++i) {
        std::string name = "abcdefgh";
        for (int bit = 0; bit < 8; ++bit)
            if (i >> bit & 1) name[bit] = static_cast<char>(name[bit] - 'a' + 'A');
        AddInt(spellings, name.c_str(), i);
    }
    EXPECT_EQ(spellings.Count(), 256);
    EXPECT_EQ(spellings.Find("aBcDeFgH")->IntValue(0), 0xAA);
    spellings.SetCaseSensitiveNames(0);
    EXPECT_EQ(spellings.Find("aBcDeFgH")->IntValue(0), 0);
    spellings.SetCaseSensitiveNames(1);
    EXPECT_EQ(spellings.Find("ABCDEFGH")->IntValue(0), 0xFF);
    EXPECT_EQ(spellings.Find("abcdefgH")->IntValue(0), 0x80);
    EXPECT_EQ(spellings.Find("abcdefghi"), nullptr);
}

TEST(PackTree, FindPathWithAndWithoutPartial) {
    Pack leaf;
    leaf.Add(std::make_unique<PackItem>("value", 5));
    Pack middle;
    middle.Add(std::make_unique<PackItem>("leaf", leaf));
    middle.Add(std::make_unique<PackItem>("text", "t"));
    Pack root;
    root.Add(std::make_unique<PackItem>("middle", middle));

    PackItem* value = root.FindPath("middle\\leaf\\value", false);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->IntValue(0), 5);
    EXPECT_EQ(root.FindPath("middle\\leaf\\none", false), nullptr);
    EXPECT_STREQ(root.FindPath("middle\\leaf\\none", true)->Name(), "leaf");
    EXPECT_STREQ(root.FindPath("middle\\text\\deeper", true)->Name(), "text");
    EXPECT_EQ(root.FindPath("middle\\text\\deeper", false), nullptr);
    EXPECT_EQ(root.FindPath("none\\leaf", true), nullptr);

    char buffer[64];
    EXPECT_EQ(ItemPath(value, buffer, sizeof buffer, true), 17);
    EXPECT_STREQ(buffer, "middle\\leaf\\value");
    EXPECT_EQ(ItemPath(value, buffer, sizeof buffer, false), 11);
    EXPECT_STREQ(buffer, "middle\\leaf");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ItemPath(value, buffer, 17, true), 17);  // no room for the NUL
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(ItemPath(value, nullptr, 0, true), 17);
    EXPECT_EQ(ItemPath(nullptr, buffer, sizeof buffer, true), kPackPathNoItem);
    EXPECT_EQ(ItemPath(root.First(), buffer, sizeof buffer, false), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(PackTree, ConstructorsCopiesAndEquality) {
    const int32_t numbers[] = {1, -2, 3};
    const char* texts[] = {"one", nullptr, ""};
    const uint8_t bytes[] = {0, 1, 2, 3, 4};
    const PackBytes blocks[] = {{bytes, 5}, {nullptr, 0}, {nullptr, -3}};
    Pack nested;
    nested.Add(std::make_unique<PackItem>("n", 1));
    const Pack* packs[] = {&nested, nullptr};

    Pack pack;
    pack.SetMode(1, false);
    pack.Add(std::make_unique<PackItem>("ints", numbers, 3));
    pack.Add(std::make_unique<PackItem>("texts", texts, 3));
    pack.Add(std::make_unique<PackItem>("bin", bytes, 5, false));
    pack.Add(std::make_unique<PackItem>("binx", blocks, 3, true));
    pack.Add(std::make_unique<PackItem>("packs", packs, 2));

    EXPECT_EQ(pack.Find("texts")->Text(1), nullptr);
    EXPECT_EQ(pack.Find("binx")->Type(), kPackItemBinx);
    EXPECT_EQ(pack.Find("bin")->Type(), kPackItemBin);
    EXPECT_EQ(pack.Find("binx")->Bytes(2).length, -3);
    EXPECT_EQ(pack.Find("packs")->NestedPack(1)->Count(), 0);
    EXPECT_EQ(pack.Find("packs")->NestedPack(0)->Owner(), pack.Find("packs"));

    Pack copy(pack);
    EXPECT_EQ(copy.Mode(), 1);
    EXPECT_EQ(copy.Owner(), nullptr);
    EXPECT_TRUE(PacksEqual(pack, copy, 1));
    PackItem renamed(*pack.Find("ints"), "INTS");
    EXPECT_FALSE(ItemsEqual(renamed, *pack.Find("ints"), 1));
    EXPECT_TRUE(ItemsEqual(renamed, *pack.Find("ints"), 0));

    // One differing byte deep in the copy makes the packs unequal.
    Pack changed(pack);
    changed.Find("packs")->NestedPack(0)->Add(std::make_unique<PackItem>("n", 2));
    EXPECT_FALSE(PacksEqual(pack, changed, 1));
    Pack shorter(pack);
    shorter.Remove("bin");
    EXPECT_FALSE(PacksEqual(pack, shorter, 1));
}

TEST(PackTree, SortPutsPacksFirstAndRecurses) {
    Pack inner;
    inner.Add(std::make_unique<PackItem>("z", 1));
    inner.Add(std::make_unique<PackItem>("a", 1));
    Pack pack;
    pack.Add(std::make_unique<PackItem>("b", 1));
    pack.Add(std::make_unique<PackItem>("Z", inner));
    pack.Add(std::make_unique<PackItem>("\xE4", 1));  // above ASCII as an unsigned byte
    pack.Add(std::make_unique<PackItem>("A", 1));
    pack.Add(std::make_unique<PackItem>("P", inner));
    pack.Sort();
    EXPECT_EQ(Names(pack), (std::vector<std::string>{"P", "Z", "A", "b", "\xE4"}));
    EXPECT_EQ(Names(*pack.First()->NestedPack(0)), (std::vector<std::string>{"a", "z"}));
    EXPECT_STREQ(pack.Last()->Name(), "\xE4");
    EXPECT_EQ(pack.Last()->Prev()->Next(), pack.Last());
    // Lookups still work after the reorder.
    AddInt(pack, "A", 9);
    EXPECT_EQ(pack.Count(), 5);
    EXPECT_STREQ(pack.Last()->Name(), "A");
}

TEST(PackTree, SetModeRecursively) {
    Pack inner;
    Pack pack;
    pack.Add(std::make_unique<PackItem>("p", inner));
    pack.SetMode(1, false);
    EXPECT_EQ(pack.First()->NestedPack(0)->Mode(), 0);
    pack.SetMode(1, true);
    EXPECT_EQ(pack.First()->NestedPack(0)->Mode(), 1);
}

}  // namespace
}  // namespace ca
