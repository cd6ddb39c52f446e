// The registry subtree serializer against the real registry of the prefix.
#include "installer_session.h"
#include "options/codec/cipher.h"
#include "options/registry_subtree.h"
#include "options/tests/import_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

namespace ca {
namespace {

using test::Bytes;
using test::RegTree;
using test::RegValue;

Bytes Of(const char* text, size_t length) { return Bytes(text, text + length); }

const Bytes kMagic = {0x68, 0x96, 0x79, 0x16};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class RegistrySubtreeTest : public ::testing::Test {
protected:
    std::string Key(const char* below = "Profiles") const { return scratch.Path(below); }
    RegistrySubtree Subtree(const char* below = "Profiles") const { return {HKEY_CURRENT_USER, Key(below)}; }
    RegTree Tree(const char* below = "Profiles") const { return test::Snapshot(HKEY_CURRENT_USER, Key(below)); }

    test::InstallerLog log;
    test::ScratchKey scratch;
};

// Settings over three levels of keys, in forms that read back unchanged.
Pack SettingsTree(int variant) {
    const uint8_t bytes[] = {0, 0x41, 0xFF, 0x10, 0x20, 0x30};
    const char* texts[] = {"one", "two", variant ? "three" : ""};
    Pack leaf;
    leaf.SetMode(1, false);
    leaf.Add(std::make_unique<PackItem>("Secret", bytes, 4 + variant, true));
    leaf.Add(std::make_unique<PackItem>("Level", 3));
    Pack middle;
    middle.Add(std::make_unique<PackItem>(variant ? "Other" : "Leaf", leaf));
    middle.Add(std::make_unique<PackItem>("Names", texts, 3));
    middle.Add(std::make_unique<PackItem>("Blob", bytes, 6 - variant, false));
    Pack root;
    root.Add(std::make_unique<PackItem>("Profile", middle));
    root.Add(std::make_unique<PackItem>(variant ? "Second" : "First", leaf));
    root.Add(std::make_unique<PackItem>("Version", 7 + variant));
    root.Add(std::make_unique<PackItem>("", variant ? "default b" : "default a"));
    return root;
}

TEST_F(RegistrySubtreeTest, EveryEncodingReadsBackByteForByte) {
    const int32_t numbers[] = {1, -2};
    const char* texts[] = {"a", "b"};
    const char* gappy[] = {"x", nullptr, ""};
    const uint8_t bytes[] = {0, 0x41, 0xFF};
    const PackBytes blocks[] = {{bytes, 3}, {nullptr, 0}};
    Pack plain;  // mode 0
    plain.Add(std::make_unique<PackItem>("Binx", bytes, 3, true));
    Pack pack;
    pack.SetMode(1, false);
    pack.Add(std::make_unique<PackItem>("Int", -5));
    pack.Add(std::make_unique<PackItem>("Ints", numbers, 2));
    pack.Add(std::make_unique<PackItem>("NoInts", numbers, 0));
    pack.Add(std::make_unique<PackItem>("Text", "abc"));
    pack.Add(std::make_unique<PackItem>("Absent", static_cast<const char*>(nullptr)));
    pack.Add(std::make_unique<PackItem>("NoTexts", static_cast<const char* const*>(nullptr), 0));
    pack.Add(std::make_unique<PackItem>("Texts", texts, 2));
    pack.Add(std::make_unique<PackItem>("Gappy", gappy, 3));
    pack.Add(std::make_unique<PackItem>("Bin", blocks, 2, false));
    pack.Add(std::make_unique<PackItem>("Binx", bytes, 3, true));
    pack.Add(std::make_unique<PackItem>("<UNNAMED_VALUE>", "default"));
    pack.Add(std::make_unique<PackItem>("<unnamed_value>", 9));  // not the default value
    pack.Add(std::make_unique<PackItem>("Plain", plain));
    ASSERT_EQ(Subtree().Save(pack), 0);

    // Length 3 and the bytes, padded to 8 and enciphered with the zero key.
    uint8_t block[8] = {0, 0, 0, 3, 0, 0x41, 0xFF, 0};
    const uint8_t zeroKey[8] = {};
    ASSERT_TRUE(EncipherBlocks(block, block, zeroKey, 8));
    const Bytes enciphered = Concat({kMagic, {5, 1, 0, 0, 0, 1, 0, 0, 0, 8}, Bytes(block, block + 8)});
    const RegTree expected = {
        {"|INT", {REG_DWORD, {0xFB, 0xFF, 0xFF, 0xFF}}},
        {"|INTS", {REG_BINARY, Concat({kMagic, {1, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}})}},
        {"|NOINTS", {REG_BINARY, Concat({kMagic, {1, 0, 0, 0, 0, 0}})}},
        {"|TEXT", {REG_SZ, Of("abc", 4)}},
        {"|ABSENT", {REG_SZ, {0}}},
        {"|NOTEXTS", {REG_SZ, {}}},
        {"|TEXTS", {REG_MULTI_SZ, Of("a\0b\0", 5)}},
        {"|GAPPY", {REG_MULTI_SZ, Of("x\0\0\0", 5)}},
        {"|BIN", {REG_BINARY, Concat({kMagic, {3, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0x41, 0xFF, 0, 0, 0, 0}})}},
        {"|BINX", {REG_BINARY, enciphered}},
        {"|", {REG_SZ, Of("default", 8)}},
        {"|<UNNAMED_VALUE>", {REG_DWORD, {9, 0, 0, 0}}},
        {"PLAIN\\", {}},
        {"PLAIN\\|BINX", {REG_BINARY, Concat({kMagic, {5, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0x41, 0xFF}})}},
    };
    EXPECT_EQ(Tree(), expected);
    EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, Key(), "<unnamed_value>").type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(RegistrySubtreeTest, ReplacesTheKeyAsAWholeAndTheLaterOfTwoNamesWins) {
    test::SetValue(HKEY_CURRENT_USER, Key(), "Stale", REG_DWORD, {1, 0, 0, 0});
    test::SetValue(HKEY_CURRENT_USER, Key("Profiles\\Gone\\Deeper"), "x", REG_SZ, Of("x", 2));
    test::SetValue(HKEY_CURRENT_USER, Key("Profiles\\Sub"), "Old", REG_SZ, Of("x", 2));

    Pack first, second;
    first.Add(std::make_unique<PackItem>("a", 1));
    first.Add(std::make_unique<PackItem>("Deep", Pack()));
    second.Add(std::make_unique<PackItem>("b", 2));
    Pack pack;  // compares names exactly, so it keeps both spellings
    pack.Add(std::make_unique<PackItem>("Value", 1));
    pack.Add(std::make_unique<PackItem>("VALUE", 2));
    pack.Add(std::make_unique<PackItem>("Sub", first));
    pack.Add(std::make_unique<PackItem>("SUB", second));
    ASSERT_EQ(pack.Count(), 4);
    ASSERT_EQ(Subtree().Save(pack), 0);
    EXPECT_EQ(Tree(), (RegTree{{"|VALUE", {REG_DWORD, {2, 0, 0, 0}}},
                               {"SUB\\", {}},
                               {"SUB\\|B", {REG_DWORD, {2, 0, 0, 0}}}}));
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

TEST_F(RegistrySubtreeTest, LoadSaveLoadRoundTrips) {
    const Pack original = SettingsTree(0);
    ASSERT_EQ(Subtree().Save(original), 0);
    Pack loaded;
    ASSERT_EQ(Subtree().Load(loaded), 0);
    EXPECT_EQ(loaded.CaseSensitiveNames(), 0);
    EXPECT_EQ(loaded.Mode(), 0);
    EXPECT_EQ(loaded.Find("first")->NestedPack(0)->Mode(), 1);  // from its binx value
    Pack sortedOriginal(original), sortedLoaded(loaded);
    sortedOriginal.Sort();
    sortedLoaded.Sort();
    EXPECT_TRUE(PacksEqual(sortedOriginal, sortedLoaded, 0));

    ASSERT_EQ(Subtree("Copy").Save(loaded), 0);
    EXPECT_EQ(Tree("Copy"), Tree());
    Pack again;
    ASSERT_EQ(Subtree("Copy").Load(again), 0);
    EXPECT_TRUE(PacksEqual(loaded, again, 0));
}

TEST_F(RegistrySubtreeTest, LoadMapsWhatTheRegistryHolds) {
    const std::string key = Key();
    test::SetValue(HKEY_CURRENT_USER, key, "Expand", REG_EXPAND_SZ, Of("%TEMP%\\x", 9));
    test::SetValue(HKEY_CURRENT_USER, key, "Multi", REG_MULTI_SZ, Of("one\0two\0", 9));
    test::SetValue(HKEY_CURRENT_USER, key, "Raw", REG_BINARY, {1, 2, 3});
    test::SetValue(HKEY_CURRENT_USER, key, "Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    test::SetValue(HKEY_CURRENT_USER, key, "", REG_SZ, Of("default", 8));
    test::SetValue(HKEY_CURRENT_USER, key, "Twin", REG_DWORD, {1, 0, 0, 0});
    test::SetValue(HKEY_CURRENT_USER, Key("Profiles\\Twin"), "Inside", REG_DWORD, {2, 0, 0, 0});
    Pack pack;
    ASSERT_EQ(Subtree().Load(pack), 0);
    EXPECT_EQ(pack.Count(), 6);
    EXPECT_STREQ(pack.Find("EXPAND")->Text(0), "%TEMP%\\x");  // names compare without case now
    ASSERT_EQ(pack.Find("Multi")->Count(), 2);
    EXPECT_STREQ(pack.Find("Multi")->Text(0), "one");
    EXPECT_STREQ(pack.Find("Multi")->Text(1), "two");
    EXPECT_EQ(pack.Find("Raw")->Type(), kPackItemBin);
    EXPECT_EQ(pack.Find("Raw")->Bytes(0).length, 3);
    EXPECT_EQ(pack.Find("Quad")->Bytes(0).length, 15 + 8);
    EXPECT_STREQ(pack.Find("")->Text(0), "default");
    ASSERT_EQ(pack.Find("Twin")->Type(), kPackItemPack);  // the subkey, not the value
    EXPECT_EQ(pack.Find("Twin")->NestedPack(0)->Find("Inside")->IntValue(0), 2);

    // Saved again, the raw bytes get a blob header.
    ASSERT_EQ(Subtree().Save(pack), 0);
    EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, key, "Raw"),
              (RegValue{REG_BINARY, Concat({kMagic, {3, 0, 0, 0, 0, 1, 0, 0, 0, 3, 1, 2, 3}})}));
    EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, key, "Expand").type, static_cast<DWORD>(REG_SZ));

    test::SetValue(HKEY_CURRENT_USER, key, "a\\b", REG_DWORD, {1, 0, 0, 0});
    Pack refused;
    EXPECT_EQ(Subtree().Load(refused), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Subtree("Missing").Load(refused), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistrySubtree(nullptr, key).Load(refused), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistrySubtreeTest, RefusedSavesTouchNothing) {
    const Pack settings = SettingsTree(0);
    ASSERT_EQ(Subtree().Save(settings), 0);
    const RegTree before = Tree();
    const Pack* two[] = {&settings, &settings};
    Pack nested;
    nested.Add(std::make_unique<PackItem>("ok", 1));
    nested.Add(std::make_unique<PackItem>("pair", two, 2));
    Pack invalid;
    invalid.Add(std::make_unique<PackItem>("a", 1));
    invalid.Add(std::make_unique<PackItem>("deeper", nested));
    EXPECT_EQ(Subtree().Save(invalid), ERROR_INVALID_DATA);
    EXPECT_EQ(RegistrySubtree(nullptr, Key()).Save(settings), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegistrySubtree(HKEY_CURRENT_USER, "").Save(settings), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegistrySubtree::SaveItem(PackItem("x", 1), nullptr, nullptr, nullptr, 0, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Tree(), before);

    // Old settings with a subkey that may not be read: set aside, they give
    // way to the new ones. Copied into memory instead, they cannot be copied
    // whole: the save refuses rather than keep a copy with a gap, and leaves
    // them as they are.
    test::SetKeyDacl(HKEY_CURRENT_USER, Key("Profiles\\Locked"), "D:P");
    EXPECT_EQ(Subtree().Save(SettingsTree(1)), 0);
    ASSERT_EQ(Subtree("Expected").Save(SettingsTree(1)), 0);
    EXPECT_EQ(Tree(), Tree("Expected"));
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());  // deleting them needs no right to read them

    test::SetKeyDacl(HKEY_CURRENT_USER, Key("Profiles\\Locked"), "D:P");
    const RegTree locked = Tree();
    {
        test::NoKeyRenaming copying;
        EXPECT_EQ(Subtree().Save(SettingsTree(0)), ERROR_CALL_NOT_IMPLEMENTED);
    }
    EXPECT_EQ(Tree(), locked);
    test::SetKeyDacl(HKEY_CURRENT_USER, Key("Profiles\\Locked"), "D:(A;;KA;;;WD)");
}

// Whatever the shape of the settings replaced (the same as the new ones',
// the same with keys below that the new ones lack, another one, or one of
// many more keys of other names), nothing of them is left afterwards: not
// among the new settings and not beside them.
TEST_F(RegistrySubtreeTest, ReplacedSettingsOfAnyShapeLeaveNothingBehind) {
    const Pack next = SettingsTree(0);
    const Pack other = SettingsTree(1);
    Pack many;
    for (int i = 0; i < 40; ++i)
        many.Add(std::make_unique<PackItem>(("Group " + std::to_string(i)).c_str(), SettingsTree(i % 2)));
    ASSERT_EQ(RegistrySubtree(HKEY_CURRENT_USER, scratch.Path("Expected\\Profiles")).Save(next), 0);
    const RegTree expected = test::Snapshot(HKEY_CURRENT_USER, Key("Expected"));
    const std::string scope = Key("Scope");
    const RegistrySubtree settings(HKEY_CURRENT_USER, scope + "\\Profiles");
    struct Old {
        const Pack* pack;
        bool keysBelow;  // with keys below a key of the new settings' that they do not have
    };
    for (const bool renaming : {true}) {
        std::optional<test::NoKeyRenaming> copying;
        if (!renaming) copying.emplace();
        for (const Old old : {Old{&next, false}, Old{&next, true}, Old{&other, false}, Old{&many, false}}) {
            ASSERT_EQ(settings.Save(*old.pack), 0);
            if (old.keysBelow)
                test::SetValue(HKEY_CURRENT_USER, scope + "\\Profiles\\First\\Extra\\Deeper", "x", REG_DWORD,
                               {1, 0, 0, 0});
            ASSERT_EQ(settings.Save(next), 0);
            EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, scope), expected)
                << (renaming ? "set aside" : "copied") << ", old settings of " << old.pack->Count() << " items"
                << (old.keysBelow ? " with keys below" : "");
        }
    }
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

TEST_F(RegistrySubtreeTest, SaveItemWritesIntoASubkeyPath) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, Key().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
              0);
    EXPECT_EQ(RegistrySubtree::SaveItem(PackItem("n", 4), key, "a\\b", nullptr, 0, 0), 0);
    EXPECT_EQ(RegistrySubtree::SaveItem(PackItem("p", SettingsTree(1)), key, "a", nullptr, 0, 0), 0);
    ::RegCloseKey(key);
    EXPECT_EQ(test::QueryValue(HKEY_CURRENT_USER, Key("Profiles\\a\\b"), "n"), (RegValue{REG_DWORD, {4, 0, 0, 0}}));
    ASSERT_EQ(Subtree("Expected").Save(SettingsTree(1)), 0);
    EXPECT_EQ(Tree("Profiles\\a\\p"), Tree("Expected"));
}

// Every registry call of a replacement (and of a first save) fails in turn,
// with the old settings set aside and with them copied into memory: the save
// then fails and the key holds exactly what it held before, or the failure
// is one the save gets over (a close; a rename, after which it copies
// instead; deleting the old settings set aside, which a log line reports)
// and the key holds the new settings. Never anything in between.
TEST_F(RegistrySubtreeTest, AFailureAtAnyCallLeavesTheSettingsThatWereThere) {
    const Pack previous = SettingsTree(0);
    const Pack next = SettingsTree(1);
    for (const bool renaming : {true}) {
        std::optional<test::NoKeyRenaming> copying;
        if (!renaming) copying.emplace();
        for (const bool existing : {true, false}) {
            SCOPED_TRACE(std::string(existing ? "replacing" : "creating") + (renaming ? ", set aside" : ", copied"));
            auto prepare = [&] {
                test::RemoveSetAside(scratch.Path());
                if (existing) {
                    ASSERT_EQ(Subtree().Save(previous), 0);
                } else {
                    ::RegDeleteTreeA(HKEY_CURRENT_USER, Key().c_str());
                    ::RegDeleteKeyA(HKEY_CURRENT_USER, Key().c_str());
                }
            };
            prepare();
            const RegTree before = Tree();
            int calls = 0;
            {
                test::RegistryCalls counting;
                ASSERT_EQ(Subtree().Save(next), 0);
                calls = counting.Total();
            }
            const RegTree after = Tree();
            ASSERT_GT(calls, existing ? 25 : 10);
            for (int i = 0; i < calls; ++i) {
                SCOPED_TRACE("failing call " + std::to_string(i));
                prepare();
                test::RegistryCalls failing;
                failing.FailAt(i, ERROR_NOT_ENOUGH_MEMORY);
                const LONG rc = Subtree().Save(next);
                ASSERT_EQ(failing.Failures(), 1);
                if (rc == ERROR_SUCCESS) {
                    EXPECT_EQ(Tree(), after);
                } else {
                    EXPECT_EQ(rc, ERROR_NOT_ENOUGH_MEMORY);
                    EXPECT_EQ(Tree(), before);
                }
            }
        }
    }
    test::RemoveSetAside(scratch.Path());
    for (const std::string& record : log.Records())
        EXPECT_THAT(record, ::testing::AnyOf(::testing::HasSubstr("The replaced settings could not be deleted"),
                                             ::testing::HasSubstr("could not be carried over")));
}

TEST_F(RegistrySubtreeTest, WhenTheSettingsCannotBeWrittenBackTheKeyIsLeftAbsent) {
    // Set aside, the old settings that cannot take their place again keep
    // the name they were set aside under.
    ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
    const RegTree previous = Tree();
    {
        test::RegistryCalls failing;
        failing.FailNth<&Platform::RegSetValueExA>(2, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(Subtree().Save(SettingsTree(1)), ERROR_NOT_ENOUGH_MEMORY);
    }
    EXPECT_EQ(Tree(), previous);  // put back
    {
        // The swap began (the settings went aside), but neither the new nor
        // the previous settings may take their name. (The first call asks
        // whether keys can be renamed.)
        static int renames;
        renames = 0;
        PlatformOverride late(&Platform::RegRenameKey, [](HKEY key, LPCWSTR from, LPCWSTR to) -> LSTATUS {
            return renames++ < 3 ? test::Tracked().RegRenameKey(key, from, to) : ERROR_ACCESS_DENIED;
        });
        EXPECT_EQ(Subtree().Save(SettingsTree(1)), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Tree(), (RegTree{{"<absent>", {}}}));
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.Records()[0], "Code: 5 The previous settings could not be put back: HKCU\\" + Key() +
                                    " is left without them; the next import puts the new ones in place");
    // The swap was committed: what the next one finds, it completes.
    EXPECT_EQ(Subtree().Recover(), 0);
    ASSERT_EQ(Subtree("Expected").Save(SettingsTree(1)), 0);
    EXPECT_EQ(Tree(), Tree("Expected"));
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Key("Profiles~CA2Q7.3old")), (RegTree{{"<absent>", {}}}));
    ASSERT_EQ(log.Records().size(), 2u);
    EXPECT_EQ(log.Records()[1], "The import into HKCU\\" + Key() +
                                    " was finished after an interruption: the new settings put in place; the replaced "
                                    "settings deleted");
    log.Remove();

    // Where keys cannot be renamed there is no journal: the save refuses and
    // touches nothing.
    test::NoKeyRenaming copying;
    ASSERT_EQ(Subtree().Save(SettingsTree(0)), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(Tree(), Tree("Expected"));
    EXPECT_THAT(log.Records(), ::testing::ElementsAre("Code: 120 Keys cannot be renamed on this system: the settings "
                                                      "HKCU\\" + Key() + " are left as they are"));
}

// Keys whose names the ANSI code page cannot express, below the settings
// replaced, go with them: with the system's tree deletion and key by key.
TEST_F(RegistrySubtreeTest, KeysWithoutAnAnsiNameAreRemovedWithTheSettingsTheyAreIn) {
    ASSERT_EQ(Subtree("Expected").Save(SettingsTree(1)), 0);
    for (const bool wholeTree : {true, false}) {
        std::optional<PlatformOverride<decltype(Platform::RegDeleteTreeW)>> byKey;
        if (!wholeTree)
            byKey.emplace(&Platform::RegDeleteTreeW, [](HKEY, LPCWSTR) -> LSTATUS { return ERROR_CALL_NOT_IMPLEMENTED; });
        ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
        const std::string narrow = Key();
        const std::wstring path = std::wstring(narrow.begin(), narrow.end()) + L"\\First\\\x0416\x4E2D\\\x05D0";
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr),
                  0);
        ::RegCloseKey(key);
        ASSERT_EQ(Subtree().Save(SettingsTree(1)), 0);
        EXPECT_EQ(Tree(), Tree("Expected")) << (wholeTree ? "one call" : "key by key");
        EXPECT_EQ(Tree("Profiles~CA2Q7.3old"), (RegTree{{"<absent>", {}}}));
    }
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

// The key the new settings are written into is one the save made: one that
// is there already when it is created (made meanwhile by someone else) is a
// failure, with nothing written into it, and the settings that were there
// stay. (Exceptions: the throwing sweep of ImportOpt_run.)
TEST_F(RegistrySubtreeTest, AKeyFoundWhereTheSaveCreatesOneLeavesThePreviousSettings) {
    ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
    const RegTree before = Tree();
    {
        static decltype(Platform::RegCreateKeyExA) real;
        real = Os().RegCreateKeyExA;
        PlatformOverride intruder(&Platform::RegCreateKeyExA,
                                  [](HKEY parent, LPCSTR name, DWORD reserved, LPSTR cls, DWORD options, REGSAM access,
                                     LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) -> LSTATUS {
                                      if (std::string(name).ends_with("~CA2Q7.5writing"))
                                          if (real(parent, name, 0, nullptr, 0, access, nullptr, key, nullptr) == 0)
                                              Os().RegCloseKey(*key);
                                      return real(parent, name, reserved, cls, options, access, security, key,
                                                  disposition);
                                  });
        EXPECT_EQ(Subtree().Save(SettingsTree(1)), ERROR_ALREADY_EXISTS);
    }
    EXPECT_EQ(Tree(), before);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, scratch.Path()).size(), before.size() + 1) << "nothing beside";
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

// The new settings take the owner and access list of the previous ones; an
// owner the user may not give is logged, and the access list still carried.
TEST_F(RegistrySubtreeTest, TheNewSettingsKeepTheAccessListOfThePreviousOnes) {
    auto dacl = [&] {
        HKEY key = nullptr;
        EXPECT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, Key().c_str(), 0, READ_CONTROL, &key), 0);
        DWORD size = 0;
        ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
        std::vector<BYTE> descriptor(size);
        EXPECT_EQ(::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size), 0);
        ::RegCloseKey(key);
        LPSTR text = nullptr;
        EXPECT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr));
        const std::string sddl = text != nullptr ? text : "";
        ::LocalFree(text);
        return sddl;
    };
    ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
    test::SetKeyDacl(HKEY_CURRENT_USER, Key(), "D:P(A;;KA;;;WD)(A;;KR;;;BU)");
    const std::string set = dacl();
    ASSERT_THAT(set, ::testing::HasSubstr(";BU)"));
    ASSERT_EQ(Subtree().Save(SettingsTree(1)), 0);
    EXPECT_EQ(dacl(), set);
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
    {
        PlatformOverride noOwner(&Platform::RegSetKeySecurity,
                                 [](HKEY key, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) -> LSTATUS {
                                     if (what & OWNER_SECURITY_INFORMATION) return ERROR_INVALID_OWNER;
                                     return test::Tracked().RegSetKeySecurity(key, what, descriptor);
                                 });
        ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
    }
    EXPECT_EQ(dacl(), set);
    EXPECT_THAT(log.Records(), ::testing::ElementsAre("Code: 1307 The owner of HKCU\\" + Key() +
                                                      " could not be carried over to the new settings; their access "
                                                      "list was"));
}

TEST_F(RegistrySubtreeTest, DeleteContentsRemovesEverySubkeyAndKeepsTheValues) {
    ASSERT_EQ(Subtree().Save(SettingsTree(0)), 0);
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, Key().c_str(), 0, KEY_ALL_ACCESS, &key), 0);
    EXPECT_EQ(RegistrySubtree::DeleteContents(key), 0);
    ::RegCloseKey(key);
    for (const auto& [name, value] : Tree()) EXPECT_EQ(name.find('\\'), std::string::npos) << name;
    EXPECT_EQ(Tree().size(), 2u);
}

}  // namespace
}  // namespace ca
