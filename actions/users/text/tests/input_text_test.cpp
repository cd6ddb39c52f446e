#include "actions/users/text/input_text.h"
#include "actions/users/text/fuzz/removal_items_checks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ca {
namespace {

// Lead bytes of a double-byte code page laid out like Shift-JIS; its trail
// bytes run from 0x40, so "\" (0x5C) can be one.
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// 0x95 0x5C is one double-byte character whose trail byte reads as "\".
const std::string kTrailBackslash = "\x95\x5C";

TEST(SplitTerminatedItems, TakesEachItemUpToItsSemicolon) {
    const struct {
        std::string input;
        size_t count;
        std::optional<std::vector<std::string>> items;
    } cases[] = {
        {"a;b;c;d;", 4, std::vector<std::string>{"a", "b", "c", "d"}},
        {"a;b;c;d;rest;ignored", 4, std::vector<std::string>{"a", "b", "c", "d"}},
        {";;;;", 4, std::vector<std::string>{"", "", "", ""}},
        {"a;b;c;d", 4, std::nullopt},  // the fourth item lacks its ";"
        {"", 4, std::nullopt},
        {"", 0, std::vector<std::string>{}},
        {"src;name;with;semicolons", 1, std::vector<std::string>{"src"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitTerminatedItems(c.input, c.count, NoLeadBytes), c.items) << c.input;
}

TEST(SplitTerminatedItems, TrailByteOfADoubleByteCharacterIsNoSeparator) {
    // 0x83 0x3B would be a character whose trail byte is ";" in a code page with such trail bytes.
    auto leadBelowSemicolonTrail = [](unsigned char c) { return c == 0x83; };
    EXPECT_EQ(SplitTerminatedItems("\x83;a;b;", 2, leadBelowSemicolonTrail),
              (std::vector<std::string>{"\x83;a", "b"}));
    EXPECT_EQ(SplitTerminatedItems("\x83;a;b;", 2, NoLeadBytes), (std::vector<std::string>{"\x83", "a"}));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(FindChar("ab\x83", ';', 0, leadBelowSemicolonTrail), std::string_view::npos);
}

TEST(FindLastChar, SkipsTrailBytes) {
    const std::string path = "C:\\a\\" + kTrailBackslash;
    EXPECT_EQ(FindLastChar(path, '\\', ShiftJisLead), 4u);
    EXPECT_EQ(FindLastChar(path, '\\', NoLeadBytes), 6u);
    EXPECT_EQ(FindLastChar("abc", '\\', ShiftJisLead), std::string_view::npos);
}

TEST(AbsoluteRootLength, DriveOrServerAndShareOnly) {
    // A trail byte that reads as "\" ends neither server nor share.
    const std::pair<std::string, size_t> cases[] = {
        {"C:\\x", 2}, {"c:\\", 2}, {"\\\\srv\\share\\x", 11}, {"\\\\srv\\share", 11}, {"\\\\s" + kTrailBackslash + "v\\share\\x", 12},
        {"C:x", 0}, {"C:", 0}, {"x\\y", 0}, {"\\x", 0}, {"\\\\srv", 0}, {"\\\\srv\\", 0}, {"\\\\\\share", 0},
        {"\\\\?\\C:\\x", 0}, {"\\\\.\\pipe\\x", 0}, {"", 0}, {"1:\\x", 0}};
    for (const auto& [path, root] : cases) EXPECT_EQ(AbsoluteRootLength(path, ShiftJisLead), root) << path;
}

TEST(ResolveAgainstProfile, OnlyTheProfileVariableAtTheStart) {
    EXPECT_EQ(ResolveAgainstProfile("%USERPROFILE%\\AppData", "C:\\u", NoLeadBytes), "C:\\u\\AppData");
    EXPECT_EQ(ResolveAgainstProfile("%userprofile%", "C:\\u", NoLeadBytes), "C:\\u");
    for (const char* other : {"%HOMESHARE%\\AppData", "C:\\x\\%USERPROFILE%\\y", "%USERPROFILE%\\%APP%", "%USERPROFILE",
                              "%USERPROFILEX%\\a"})
        EXPECT_EQ(ResolveAgainstProfile(other, "C:\\u", NoLeadBytes), std::nullopt) << other;
}

TEST(ExpandInUserTerms, TheUsersOwnFoldersOnly) {
    const std::optional<std::string> none;
    const struct {
        std::string value;
        std::optional<std::string_view> appData;
        std::optional<std::string> expanded;
    } cases[] = {
        {"%USERPROFILE%\\Word", "C:\\u\\AD", "C:\\u\\Word"},
        {"%appdata%\\Microsoft\\Word\\STARTUP", "C:\\u\\AD", "C:\\u\\AD\\Microsoft\\Word\\STARTUP"},
        {"C:\\u\\%UserProfile%\\%APPDATA%", "D", "C:\\u\\C:\\u\\D"},  // anywhere, each
        {"C:\\plain", {}, "C:\\plain"},
        {"C:\\100%\\x", {}, "C:\\100%\\x"},  // one "%" alone is text
        {"%APPDATA%\\x", {}, none},       // the user has no AppData
        {"%TEMP%\\x", "C:\\u\\AD", none},  // the installer's own variables mean nothing here
        {"%%\\x", "C:\\u\\AD", none},
        {"%USERPROFILE", "C:\\u\\AD", "%USERPROFILE"},
        {"%USERPROFILEX%", "C:\\u\\AD", none},
        // A "%" as trail byte neither opens nor closes a name.
        {"C:\\\x81%%USERPROFILE%", {}, "C:\\\x81%C:\\u"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpandInUserTerms(c.value, "C:\\u", c.appData, ShiftJisLead), c.expanded) << c.value;
}

TEST(LiesWithin, WholeComponentsOfTheFolderOnly) {
    const std::string profile = "C:\\Users\\bob";
    const std::pair<std::string, bool> cases[] = {
        {"C:\\Users\\bob", true}, {"c:\\users\\BOB\\AppData", true}, {"C:\\Users\\bobby", false},
        {"C:\\Users\\bo", false}, {"C:\\Users", false}, {"D:\\Users\\bob\\x", false},
        {"\\\\host\\share\\Users\\bob", false}, {"", false}};
    for (const auto& [path, inside] : cases) EXPECT_EQ(LiesWithin(path, profile, ShiftJisLead), inside) << path;
    EXPECT_FALSE(LiesWithin("C:\\x", "", NoLeadBytes));
    // A trail byte is compared as it is, never folded, and never ends the folder's name.
    const std::string folder = "C:\\" + kTrailBackslash;
    EXPECT_TRUE(LiesWithin(folder + "\\a", folder, ShiftJisLead));
    EXPECT_FALSE(LiesWithin("C:\\\x95\x7C\\a", folder, ShiftJisLead));
    EXPECT_FALSE(LiesWithin(folder + "x", folder, ShiftJisLead));
}

TEST(AreRemovalItemsSafe, RefusesItemsThatWouldRemoveMoreThanThePackageNames) {
    const RemovalItems good{"Software\\Vendor", "Software\\Vendor\\App", "*.log", "Vendor\\App"};
    EXPECT_TRUE(AreRemovalItemsSafe(good, ShiftJisLead));
    const struct {
        const char* what;
        RemovalItems items;
        bool safe;
    } cases[] = {
        {"empty pattern", {"K", "T", "", "App"}, true},
        {"dot folder inside", {"K", "T", "*", "App\\."}, true},
        {"forward separator", {"K", "T", "*", "Vendor/App"}, true},
        {"trailing separator", {"K", "T", "*", "App\\"}, true},
        {"leading single separator stays below", {"K", "T", "*", "\\App"}, true},
        {"dots inside a name", {"K", "T", "*", "App..Data"}, true},
        {"trail byte like a backslash in the pattern", {"K", "T", "*" + kTrailBackslash, "App"}, true},
        {"empty empty-only key", {"", "T", "*", "App"}, false},
        {"empty tree key", {"K", "", "*", "App"}, false},
        {"tree key of backslashes", {"K", "\\\\", "*", "App"}, false},
        {"empty-only key from the root", {"\\Software", "T", "*", "App"}, false},
        {"empty folder", {"K", "T", "*", ""}, false},
        {"pattern with a backslash", {"K", "T", "..\\*", "App"}, false},
        {"pattern with a slash", {"K", "T", "sub/*.log", "App"}, false},
        {"drive", {"K", "T", "*", "C:\\Temp"}, false},
        {"drive-relative", {"K", "T", "*", "c:App"}, false},
        {"share", {"K", "T", "*", "\\\\server\\share"}, false},
        {"share with slashes", {"K", "T", "*", "//server/share"}, false},
        {"parent", {"K", "T", "*", ".."}, false},
        {"parent inside", {"K", "T", "*", "App\\..\\.."}, false},
        {"parent after slash", {"K", "T", "*", "App/../x"}, false},
        {"dots that the system trims to a parent", {"K", "T", "*", "App\\... "}, false},
        {"AppData itself", {"K", "T", "*", "."}, false},
        {"AppData itself through separators", {"K", "T", "*", "\\"}, false},
        {"AppData itself through dot folders", {"K", "T", "*", ".\\ .\\"}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(AreRemovalItemsSafe(c.items, ShiftJisLead), c.safe) << c.what;
}

// Every seed and every input that once failed keeps the harness's properties.
TEST(RemovalItemsFuzzInputs, KeepTheirProperties) {
    int replayed = 0;
    for (const char* folder : {"/corpus", "/crashes"}) {
        const std::filesystem::path dir = std::string(CA_USERS_FUZZDIR) + folder;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().filename() == "README.txt") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_TRUE(RemovalItemsInputKeepsItsProperties(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                            bytes.size()))
                << entry.path();
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace ca
