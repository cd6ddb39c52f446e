// SetRegRights and SetFoldRights in a real installer session, and through
// msiexec. Wine stores key DACLs, so they are read back; it does not store
// folder DACLs, so the DACL handed to SetSecurityInfo, and the object its
// handle is open on, are observed on their way through the security functions
// the module looks up.
#include "accounting.h"
#include "actions/action.h"
#include "actions/users/grant_users.h"
#include "actions/users/rights_undo.h"
#include "folders.h"
#include "installer_session.h"
#include "runtime/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>

extern "C" UINT __stdcall SetRegRights(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRights(MSIHANDLE);
extern "C" UINT __stdcall SetRegRightsRollback(MSIHANDLE);
extern "C" UINT __stdcall SetRegRightsCommit(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRightsRollback(MSIHANDLE);
extern "C" UINT __stdcall SetFoldRightsCommit(MSIHANDLE);

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace ca {
namespace {

using test::Accounting;
using test::Resource;
using Action = UINT(__stdcall*)(MSIHANDLE);

// The entries of an ACL as "type;flags;mask;SID", e.g. "A;CI;0x20019;S-1-5-32-545".
std::vector<std::string> Aces(PACL acl) {
    std::vector<std::string> aces;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace))) break;
        char* sid = nullptr;
        ConvertSidToStringSidA(&ace->SidStart, &sid);
        const BYTE f = ace->Header.AceFlags;
        const std::string flags = std::string(f & OBJECT_INHERIT_ACE ? "OI" : "") +
                                  (f & CONTAINER_INHERIT_ACE ? "CI" : "") +
                                  (f & INHERIT_ONLY_ACE ? "IO" : "");
        aces.push_back(StringPrintf("%s;%s;0x%lX;%s",
                                    ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "A" : "D",
                                    flags.c_str(), ace->Mask, sid ? sid : "?"));
        LocalFree(sid);
    }
    return aces;
}

const char kUsers[] = "S-1-5-32-545";
const char kKey[] = "Software\\CustActionTests\\Rights";
const char kMissingKey[] = "Software\\CustActionTests\\NoSuchKey";
// SYSTEM and Administrators with full access, an earlier Users entry, and
// Authenticated Users reading the key and its subkeys.
const char kKeyDacl[] = "D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KA;;;BU)(A;CI;KR;;;AU)";
const char* const kOtherTrustees[] = {"A;;0xF003F;S-1-5-18", "A;;0xF003F;S-1-5-32-544",
                                      "A;CI;0x20019;S-1-5-11"};

// Creates the key with a DACL given as SDDL, or with none (null).
void CreateKey(const char* path, const char* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr), 0);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (sddl != nullptr) {
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    }
    EXPECT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              dacl, nullptr), 0u);
    LocalFree(descriptor);
    RegCloseKey(key);
}

// The key's DACL as stored; {"none"} for a null DACL.
std::vector<std::string> KeyAces(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != 0) return {"no key"};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                    nullptr, &descriptor);
    std::vector<std::string> aces = dacl ? Aces(dacl) : std::vector<std::string>{"none"};
    LocalFree(descriptor);
    RegCloseKey(key);
    return aces;
}

// ---------------------------------------------------------------- the seam
//
// Replaces the entries the actions reach the security functions through. The
// functions the lookup hands out observe their arguments and pass on to the
// counted real ones, unless the fault of the test names them.

enum class Misbehave { None, Missing, Fails, Throws, NoDacl, OldWindows };
struct Fault {
    const char* call = "";
    Misbehave how = Misbehave::None;
    DWORD code = 0;  // result, last error, or the major version reported
};

struct Observed {
    std::string module;
    std::vector<std::string> lookups;
    std::vector<std::string> calls;
    EXPLICIT_ACCESS_A entry = {};
    std::string entrySid;
    std::vector<std::string> existing, written;
    SE_OBJECT_TYPE writtenType = SE_UNKNOWN_OBJECT_TYPE;
    std::string writtenTo;              // a folder: the path of the object the handle is open on
    std::array<DWORD, 3> writtenId = {};  // and its identity
    bool onlyDaclWritten = false;
    DWORD writeResult = 0;
};

Fault g_fault;
Observed g_seen;

// True when the call is to fail; throws when it is to throw.
bool Misbehaves(const char* call, Misbehave how = Misbehave::Fails) {
    if (std::strcmp(g_fault.call, call) != 0) return false;
    if (g_fault.how == Misbehave::Throws) test::ThrowForeign(g_fault.code);
    return g_fault.how == how;
}

HMODULE Advapi() { return GetModuleHandleA("advapi32.dll"); }

template <typename Fn>
Fn Real(const char* name) {
    g_seen.calls.push_back(name);
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(test::Tracked().GetProcAddress(Advapi(), name)));
}

BOOL WINAPI SeamAllocateSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1,
                            DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid) {
    if (Misbehaves("AllocateAndInitializeSid")) {
        SetLastError(g_fault.code);
        return FALSE;
    }
    return Real<decltype(&::AllocateAndInitializeSid)>("AllocateAndInitializeSid")(
        authority, count, a0, a1, a2, a3, a4, a5, a6, a7, sid);
}

DWORD AfterRead(const char* call, DWORD result, PACL* dacl) {
    if (result == ERROR_SUCCESS) g_seen.existing = Aces(*dacl);
    if (Misbehaves(call, Misbehave::NoDacl)) *dacl = nullptr;
    return result;
}

DWORD WINAPI SeamGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                 PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                 PSECURITY_DESCRIPTOR* descriptor) {
    if (Misbehaves("GetSecurityInfo")) return g_fault.code;
    const auto real = Real<decltype(&::GetSecurityInfo)>("GetSecurityInfo");
    return AfterRead("GetSecurityInfo",
                     real(object, type, info, owner, group, dacl, sacl, descriptor), dacl);
}

DWORD WINAPI SeamSetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL old, PACL* merged) {
    if (count == 1) {
        g_seen.entry = entries[0];
        char* sid = nullptr;
        ConvertSidToStringSidA(static_cast<PSID>(entries[0].Trustee.ptstrName), &sid);
        g_seen.entrySid = sid ? sid : "";
        LocalFree(sid);
    }
    if (Misbehaves("SetEntriesInAclA")) return g_fault.code;
    return Real<decltype(&::SetEntriesInAclA)>("SetEntriesInAclA")(count, entries, old, merged);
}

// The path the system gives for a handle, without "\\?\".
std::string FinalPathOf(HANDLE object) {
    char path[MAX_PATH * 2] = {};
    const DWORD length = GetFinalPathNameByHandleA(object, path, sizeof path, FILE_NAME_NORMALIZED);
    const std::string text(path, length < sizeof path ? length : 0);
    return text.rfind("\\\\?\\", 0) == 0 ? text.substr(4) : text;
}

// Volume and file index of an open file or folder.
std::array<DWORD, 3> Identity(HANDLE object) {
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(object, &info);
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The writer: the DACL alone, on the object the handle is open on.
DWORD WINAPI SeamSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                 PSID owner, PSID group, PACL dacl, PACL sacl) {
    g_seen.written = Aces(dacl);
    g_seen.writtenType = type;
    g_seen.onlyDaclWritten = info == DACL_SECURITY_INFORMATION && owner == nullptr && group == nullptr &&
                             sacl == nullptr;
    if (type == SE_FILE_OBJECT) {
        g_seen.writtenTo = FinalPathOf(object);
        g_seen.writtenId = Identity(object);
    }
    if (Misbehaves("SetSecurityInfo")) return g_fault.code;
    return g_seen.writeResult = Real<decltype(&::SetSecurityInfo)>("SetSecurityInfo")(
               object, type, info, owner, group, dacl, sacl);
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name) {
    if (module != Advapi()) return test::Tracked().GetProcAddress(module, name);
    g_seen.lookups.push_back(name);
    if (g_fault.how == Misbehave::Missing && std::strcmp(g_fault.call, name) == 0) {
        SetLastError(g_fault.code);
        return nullptr;
    }
    const struct {
        const char* name;
        void* function;
    } handedOut[] = {
        {"AllocateAndInitializeSid", reinterpret_cast<void*>(&SeamAllocateSid)},
        {"GetSecurityInfo", reinterpret_cast<void*>(&SeamGetSecurityInfo)},
        {"SetEntriesInAclA", reinterpret_cast<void*>(&SeamSetEntriesInAclA)},
        {"SetSecurityInfo", reinterpret_cast<void*>(&SeamSetSecurityInfo)},
    };
    for (const auto& f : handedOut)
        if (std::strcmp(f.name, name) == 0) return reinterpret_cast<FARPROC>(f.function);
    return test::Tracked().GetProcAddress(module, name);
}

HMODULE WINAPI SeamGetModuleHandleA(LPCSTR name) {
    g_seen.module = name ? name : "";
    if (Misbehaves("GetModuleHandleA")) {
        SetLastError(g_fault.code);
        return nullptr;
    }
    return test::Tracked().GetModuleHandleA(name);
}

BOOL WINAPI SeamGetVersionExA(LPOSVERSIONINFOA info) {
    if (Misbehaves("GetVersionExA")) {
        SetLastError(g_fault.code);
        return FALSE;
    }
    const BOOL ok = test::Tracked().GetVersionExA(info);
    if (Misbehaves("GetVersionExA", Misbehave::OldWindows)) info->dwMajorVersion = g_fault.code;
    return ok;
}

UINT WINAPI SeamMsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value, LPDWORD size) {
    if (Misbehaves("MsiGetPropertyA")) return g_fault.code;
    return test::Tracked().MsiGetPropertyA(install, name, value, size);
}

LSTATUS WINAPI SeamRegOpenKeyExA(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key) {
    if (Misbehaves("RegOpenKeyExA")) return static_cast<LSTATUS>(g_fault.code);
    return test::Tracked().RegOpenKeyExA(parent, name, options, access, key);
}

class Seam {
public:
    Seam() {
        g_fault = {};
        g_seen = {};
    }

private:
    PlatformOverride<decltype(Platform::GetProcAddress)> lookup_{&Platform::GetProcAddress,
                                                                &SeamGetProcAddress};
    PlatformOverride<decltype(Platform::GetModuleHandleA)> module_{&Platform::GetModuleHandleA,
                                                                  &SeamGetModuleHandleA};
    PlatformOverride<decltype(Platform::GetVersionExA)> version_{&Platform::GetVersionExA,
                                                                &SeamGetVersionExA};
    PlatformOverride<decltype(Platform::MsiGetPropertyA)> property_{&Platform::MsiGetPropertyA,
                                                                   &SeamMsiGetPropertyA};
    PlatformOverride<decltype(Platform::RegOpenKeyExA)> open_{&Platform::RegOpenKeyExA,
                                                             &SeamRegOpenKeyExA};
};

// ---------------------------------------------------------------- fixture

// SIDs, security descriptors, ACLs and keys.
using Counts = std::array<int, 4>;
Counts Acquired() {
    return {Accounting::Acquired(Resource::Sid), Accounting::Acquired(Resource::SecurityDescriptor),
            Accounting::Acquired(Resource::Acl), Accounting::Acquired(Resource::Key)};
}
Counts Held() {
    return {Accounting::Held(Resource::Sid), Accounting::Held(Resource::SecurityDescriptor),
            Accounting::Held(Resource::Acl), Accounting::Held(Resource::Key)};
}

class RightsTest : public ::testing::Test {
protected:
    RightsTest() {
        char temp[MAX_PATH] = {};
        GetTempPathA(sizeof temp, temp);
        folder = std::string(temp) + "CustActionRights";
        CreateDirectoryA(folder.c_str(), nullptr);
        CreateKey(kKey, kKeyDacl);
    }
    ~RightsTest() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        RemoveDirectoryA(folder.c_str());
    }

    // Runs a deferred action on `data`: it returns 0, sets no property, and
    // releases whatever it acquired.
    void Run(Action action, const std::string& data) {
        session.Set("CustomActionData", data);
        Accounting::ResetCounts();
        test::PropertyWrites writes;
        EXPECT_EQ(action(session.Handle()), 0u);
        EXPECT_THAT(writes.Writes(), IsEmpty());
        EXPECT_EQ(Held(), Counts{});
    }

    test::InstallerLog log;
    test::InstallerSession session;
    Seam seam;
    std::string folder;
};

std::string KeyData(const char* selector) { return std::string(kKey) + ";" + selector + ";"; }

// ---------------------------------------------------------------- tests

TEST_F(RightsTest, KeySelectorSetsTheUsersEntryOverTheEarlierOne) {
    const struct {
        const char* selector;
        const char* usersEntry;
    } cases[] = {{"0", "A;CI;0x20019;S-1-5-32-545"}, {"1", "A;CI;0x3001F;S-1-5-32-545"}};
    for (const auto& c : cases) {
        CreateKey(kKey, kKeyDacl);
        g_seen = {};
        Run(&SetRegRights, KeyData(c.selector));
        std::vector<std::string> expected(std::begin(kOtherTrustees), std::end(kOtherTrustees));
        expected.push_back(c.usersEntry);
        EXPECT_THAT(KeyAces(kKey), UnorderedElementsAreArray(expected)) << c.selector;
        EXPECT_EQ(Acquired(), (Counts{1, 1, 1, 1})) << c.selector;
    }
    // The lookups come first, in their order, from the loaded library.
    EXPECT_EQ(g_seen.module, "Advapi32.dll");
    EXPECT_THAT(g_seen.lookups, ElementsAre("AllocateAndInitializeSid", "GetSecurityInfo",
                                            "SetEntriesInAclA", "SetSecurityInfo"));
    EXPECT_EQ(g_seen.entry.grfAccessMode, SET_ACCESS);
    EXPECT_EQ(g_seen.entry.grfInheritance, static_cast<DWORD>(CONTAINER_INHERIT_ACE));
    EXPECT_EQ(g_seen.entry.Trustee.TrusteeForm, TRUSTEE_IS_SID);
    EXPECT_EQ(g_seen.entry.Trustee.TrusteeType, TRUSTEE_IS_WELL_KNOWN_GROUP);
    EXPECT_EQ(g_seen.entry.Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
    EXPECT_EQ(g_seen.entry.Trustee.pMultipleTrustee, nullptr);
    EXPECT_EQ(g_seen.entrySid, kUsers);
    EXPECT_TRUE(g_seen.onlyDaclWritten);
    EXPECT_EQ(g_seen.writtenType, SE_REGISTRY_KEY);
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(RightsTest, OnlyTheExactSelectorsGiveRightsAndAnyOtherIsRefused) {
    // Mask 0: refused at the input, the key's list stays as it was.
    const struct {
        const char* data;
        DWORD mask;
    } cases[] = {{"0;", 0x20019}, {"1;", 0x3001F}, {"1;ignored;", 0x3001F}, {"0;rest", 0x20019},
                 {"2;", 0},       {" 1;", 0},      {"1 ;", 0},              {"01;", 0},  {";", 0}};
    for (const auto& c : cases) {
        const std::string data = std::string(kKey) + ";" + c.data;
        log.Remove();
        CreateKey(kKey, kKeyDacl);
        g_seen = {};
        Run(&SetRegRights, data);
        EXPECT_EQ(g_seen.entry.grfAccessPermissions, c.mask) << c.data;
        if (c.mask == 0) {
            EXPECT_THAT(log.Records(), ElementsAre("Code: 13 Point: CWB6URKWZ45GRIR (" + data + ")")) << c.data;
            EXPECT_THAT(g_seen.lookups, IsEmpty()) << c.data;
            EXPECT_THAT(KeyAces(kKey), UnorderedElementsAre(kOtherTrustees[0], kOtherTrustees[1], kOtherTrustees[2],
                                                            "A;;0xF003F;S-1-5-32-545"))
                << c.data;
        } else {
            EXPECT_THAT(log.Records(), IsEmpty()) << c.data;
        }
    }
}

TEST_F(RightsTest, FolderEntryIsInheritedByFilesAndSubfoldersOnTopOfTheExistingOnes) {
    Run(&SetFoldRights, folder);
    // The folder's list is read and written through its handle, never by name.
    EXPECT_THAT(g_seen.lookups, ElementsAre("AllocateAndInitializeSid", "GetSecurityInfo",
                                            "SetEntriesInAclA", "SetSecurityInfo"));
    EXPECT_EQ(g_seen.writtenType, SE_FILE_OBJECT);
    EXPECT_EQ(g_seen.entry.grfAccessPermissions, 0x201FFu);
    EXPECT_EQ(g_seen.entry.grfAccessMode, SET_ACCESS);
    EXPECT_EQ(g_seen.entrySid, kUsers);
    EXPECT_EQ(g_seen.writtenTo, folder);
    EXPECT_TRUE(g_seen.onlyDaclWritten);
    ASSERT_FALSE(g_seen.existing.empty());
    std::vector<std::string> expected = g_seen.existing;
    expected.push_back("A;OICI;0x201FF;S-1-5-32-545");
    EXPECT_THAT(g_seen.written, UnorderedElementsAreArray(expected));
    EXPECT_EQ(g_seen.writeResult, 0u);  // the real call succeeded
    EXPECT_EQ(Acquired(), (Counts{1, 1, 1, 0}));
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(RightsTest, FolderInputNamingNoFolderIsSkippedSilently) {
    const std::string file = folder + "\\file.txt";
    CloseHandle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (const std::string& data : {std::string(), folder + "\\missing", file}) {
        Run(&SetFoldRights, data);
        EXPECT_THAT(g_seen.lookups, IsEmpty()) << data;
    }
    DeleteFileA(file.c_str());
    EXPECT_THAT(log.Records(), IsEmpty());
}

TEST_F(RightsTest, FolderReachedThroughALinkIsRefused) {
    const std::string link = folder + "Link";
    ASSERT_TRUE(test::CreateFolderLink(link, folder));
    Run(&SetFoldRights, link);
    EXPECT_THAT(g_seen.lookups, IsEmpty());
    EXPECT_THAT(log.Records(), ElementsAre("Code: 681 Point: HU7LPKPMX6M5NTQ (" + link + ")(" + folder + ")",
                                           "VY2AUTEG6WRFBHY:HU7LPKPMX6M5NTQ"));
    test::RemoveFolderTree(link);
}

TEST_F(RightsTest, ObjectWithoutDaclIsLeftAloneAndCountsAsSuccess) {
    CreateKey(kKey, nullptr);
    Run(&SetRegRights, KeyData("1"));
    EXPECT_THAT(KeyAces(kKey), ElementsAre("none"));
    g_fault = {"GetSecurityInfo", Misbehave::NoDacl};
    Run(&SetFoldRights, folder);
    EXPECT_EQ(Acquired(), (Counts{1, 1, 0, 0}));
    EXPECT_THAT(g_seen.calls, ElementsAre("AllocateAndInitializeSid", "GetSecurityInfo",
                                          "AllocateAndInitializeSid", "GetSecurityInfo"));
    EXPECT_THAT(log.Records(), IsEmpty());
}

// Between the proof and the change the way to the held folder is swapped:
// its parent renamed away, a link (on Windows, a mount point) put at its
// name. The change lands on the proven folder, not on what the link names.
std::string g_parent, g_other;
DWORD WINAPI SwappingGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                     PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    if (type == SE_FILE_OBJECT && MoveFileA(g_parent.c_str(), (g_parent + "Moved").c_str())) {
        EXPECT_TRUE(test::CreateFolders(g_parent) && test::CreateFolderLink(g_parent + "\\Data", g_other));
    }
    return SeamGetSecurityInfo(object, type, info, owner, group, dacl, sacl, descriptor);
}
FARPROC WINAPI SwappingGetProcAddress(HMODULE module, LPCSTR name) {
    if (module == Advapi() && std::strcmp(name, "GetSecurityInfo") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SwappingGetSecurityInfo));
    return SeamGetProcAddress(module, name);
}

TEST_F(RightsTest, FolderSwappedForALinkAfterTheProofKeepsTheChangeOnTheProvenFolder) {
    g_parent = folder + "Tree";
    g_other = folder;
    ASSERT_TRUE(test::CreateFolders(g_parent + "\\Data"));
    const auto open = [](const std::string& path) {
        return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    };
    const HANDLE proven = open(g_parent + "\\Data"), other = open(g_other);
    {
        PlatformOverride swap(&Platform::GetProcAddress, &SwappingGetProcAddress);
        Run(&SetFoldRights, g_parent + "\\Data");
    }
    EXPECT_TRUE(test::IsFolderLink(g_parent + "\\Data"));  // the swap did happen
    // The object's identity, not its path: the test platform names a held
    // folder by the path it was opened with, even after a move.
    EXPECT_EQ(g_seen.writtenId, Identity(proven));
    EXPECT_NE(g_seen.writtenId, Identity(other));
    EXPECT_EQ(g_seen.writtenType, SE_FILE_OBJECT);
    EXPECT_EQ(g_seen.writeResult, 0u);
    EXPECT_THAT(log.Records(), IsEmpty());
    CloseHandle(proven);
    CloseHandle(other);
    for (const std::string& tree : {g_parent, g_parent + "Moved"}) test::RemoveFolderTree(tree);
}

// Every failure site of the two actions: what the log holds afterwards, and
// what had been acquired (and was released) when it failed.
TEST_F(RightsTest, FailureSitesAreLoggedWithTheirChainAndCode) {
    const struct Row {
        Action action;
        const char* data;  // null: the key with selector 1, or the folder
        Fault fault;
        std::vector<std::string> log;
        Counts acquired;
    } rows[] = {
        {SetRegRights, nullptr, {"GetVersionExA", Misbehave::Fails, 87}, {"Code: 87 Point: L4FRCE6I5NISAFI "}, {}},
        {SetRegRights, nullptr, {"GetVersionExA", Misbehave::OldWindows, 4}, {"Code: 13 Point: 5M6UNVUX7CLW44Z "}, {}},
        {SetRegRights, nullptr, {"MsiGetPropertyA", Misbehave::Fails, 1615},
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "6E9FB35DWS7FVI5:A4LRP85LV7J52YM"}, {}},
        {SetRegRights, "Software\\X;1", {}, {"Code: 13 Point: CWB6URKWZ45GRIR (Software\\X;1)"}, {}},
        {SetRegRights, "", {}, {"Code: 13 Point: CWB6URKWZ45GRIR ()"}, {}},
        {SetRegRights, nullptr, {"GetModuleHandleA", Misbehave::Fails, 126},
         {"Code: 126 Point: DNABALCMSIHH38R ", "D48JVGHEBBL94W3:DNABALCMSIHH38R"}, {}},
        {SetRegRights, nullptr, {"AllocateAndInitializeSid", Misbehave::Missing, 127},
         {"Code: 127 Point: N8K2KURGLVFEY7C ", "D48JVGHEBBL94W3:N8K2KURGLVFEY7C"}, {}},
        {SetRegRights, nullptr, {"GetSecurityInfo", Misbehave::Missing, 127},
         {"Code: 127 Point: P46TWYENHK76DWD ", "D48JVGHEBBL94W3:P46TWYENHK76DWD"}, {}},
        {SetRegRights, nullptr, {"SetEntriesInAclA", Misbehave::Missing, 127},
         {"Code: 127 Point: L4GLVCSDDFKJXJX ", "D48JVGHEBBL94W3:L4GLVCSDDFKJXJX"}, {}},
        {SetRegRights, nullptr, {"SetSecurityInfo", Misbehave::Missing, 127},
         {"Code: 127 Point: HDGM566G4WUHLJ8 ", "D48JVGHEBBL94W3:HDGM566G4WUHLJ8"}, {}},
        {SetRegRights, nullptr, {"AllocateAndInitializeSid", Misbehave::Fails, 8},
         {"Code: 8 Point: J4RFUR649BZXH8G ", "D48JVGHEBBL94W3:J4RFUR649BZXH8G"}, {}},
        {SetRegRights, "Software\\CustActionTests\\NoSuchKey;1;", {},
         {"Code: 2 Point: NUJ7GJ3U5W64RZ2 ", "D48JVGHEBBL94W3:NUJ7GJ3U5W64RZ2"}, {1, 0, 0, 0}},
        // An empty path would open HKEY_LOCAL_MACHINE itself.
        {SetRegRights, ";1;", {}, {"Code: 13 Point: NUJ7GJ3U5W64RZ2 ", "D48JVGHEBBL94W3:NUJ7GJ3U5W64RZ2"}, {1, 0, 0, 0}},
        {SetRegRights, "\\;1;", {}, {"Code: 13 Point: NUJ7GJ3U5W64RZ2 ", "D48JVGHEBBL94W3:NUJ7GJ3U5W64RZ2"}, {1, 0, 0, 0}},
        {SetRegRights, nullptr, {"GetSecurityInfo", Misbehave::Fails, 5},
         {"Code: 5 Point: KUVZGXFIZRJGAMJ ", "D48JVGHEBBL94W3:KUVZGXFIZRJGAMJ"}, {1, 0, 0, 1}},
        {SetRegRights, nullptr, {"SetEntriesInAclA", Misbehave::Fails, 87},
         {"Code: 87 Point: LPESR34SVHC9NEL ", "D48JVGHEBBL94W3:LPESR34SVHC9NEL"}, {1, 1, 0, 1}},
        {SetRegRights, nullptr, {"SetSecurityInfo", Misbehave::Fails, 5},
         {"Code: 5 Point: IPPKPFGGSCRL936 ", "D48JVGHEBBL94W3:IPPKPFGGSCRL936"}, {1, 1, 1, 1}},
        {SetRegRights, nullptr, {"RegOpenKeyExA", Misbehave::Throws, 14},
         {"Code: 14 Point: F8C38DK9T7E8TEY ", "D48JVGHEBBL94W3:F8C38DK9T7E8TEY"}, {1, 0, 0, 0}},
        {SetRegRights, nullptr, {"GetVersionExA", Misbehave::Throws, 14}, {"Code: 14 Point: HCLZPK9S94DM2MY "}, {}},

        {SetFoldRights, nullptr, {"GetVersionExA", Misbehave::Fails, 87}, {"Code: 87 Point: VDYHEMK8NNV7B6A "}, {}},
        {SetFoldRights, nullptr, {"GetVersionExA", Misbehave::OldWindows, 4}, {"Code: 13 Point: KKRDPLFVKTIT8NT "}, {}},
        {SetFoldRights, nullptr, {"MsiGetPropertyA", Misbehave::Fails, 1615},
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "ENT7DBI3HSITX9U:A4LRP85LV7J52YM"}, {}},
        {SetFoldRights, nullptr, {"GetModuleHandleA", Misbehave::Fails, 126},
         {"Code: 126 Point: PZ3SJTRIUH9BTP8 ", "VY2AUTEG6WRFBHY:PZ3SJTRIUH9BTP8"}, {}},
        {SetFoldRights, nullptr, {"AllocateAndInitializeSid", Misbehave::Missing, 127},
         {"Code: 127 Point: 9FCM8C35SV57Z3R ", "VY2AUTEG6WRFBHY:9FCM8C35SV57Z3R"}, {}},
        {SetFoldRights, nullptr, {"GetSecurityInfo", Misbehave::Missing, 127},
         {"Code: 127 Point: USVI8LMAN4EF2HS ", "VY2AUTEG6WRFBHY:USVI8LMAN4EF2HS"}, {}},
        {SetFoldRights, nullptr, {"SetEntriesInAclA", Misbehave::Missing, 127},
         {"Code: 127 Point: 9CVGIGPDLKWXETT ", "VY2AUTEG6WRFBHY:9CVGIGPDLKWXETT"}, {}},
        {SetFoldRights, nullptr, {"SetSecurityInfo", Misbehave::Missing, 127},
         {"Code: 127 Point: VMEBHPAHJU78F9U ", "VY2AUTEG6WRFBHY:VMEBHPAHJU78F9U"}, {}},
        {SetFoldRights, nullptr, {"AllocateAndInitializeSid", Misbehave::Fails, 8},
         {"Code: 8 Point: A8F9UJCKHBNPTIU ", "VY2AUTEG6WRFBHY:A8F9UJCKHBNPTIU"}, {}},
        {SetFoldRights, nullptr, {"GetSecurityInfo", Misbehave::Fails, 5},
         {"Code: 5 Point: WIY5TTXPFJXYUYV ", "VY2AUTEG6WRFBHY:WIY5TTXPFJXYUYV"}, {1, 0, 0, 0}},
        {SetFoldRights, nullptr, {"SetEntriesInAclA", Misbehave::Fails, 87},
         {"Code: 87 Point: HUHYT4IVCT88VEW ", "VY2AUTEG6WRFBHY:HUHYT4IVCT88VEW"}, {1, 1, 0, 0}},
        {SetFoldRights, nullptr, {"SetSecurityInfo", Misbehave::Fails, 5},
         {"Code: 5 Point: TIAWS8BFBECCELF ", "VY2AUTEG6WRFBHY:TIAWS8BFBECCELF"}, {1, 1, 1, 0}},
        {SetFoldRights, nullptr, {"GetSecurityInfo", Misbehave::Throws, 14},
         {"Code: 14 Point: BYITFRL29S99KYY ", "VY2AUTEG6WRFBHY:BYITFRL29S99KYY"}, {1, 0, 0, 0}},
        {SetFoldRights, nullptr, {"GetVersionExA", Misbehave::Throws, 14}, {"Code: 14 Point: I3MPEAA3ULK86D4 "}, {}},
        // A folder that is not absolute names none: refused before any lookup.
        {SetFoldRights, "CustActionRights", {},
         {"Code: 13 Point: LH2VPM55L4S3QMQ (CustActionRights)", "VY2AUTEG6WRFBHY:LH2VPM55L4S3QMQ"}, {}},
    };
    for (const Row& row : rows) {
        const std::string what = std::string(row.fault.call) + " " + (row.data ? row.data : "");
        log.Remove();
        g_seen = {};
        g_fault = row.fault;
        Run(row.action, row.data ? row.data : row.action == SetRegRights ? KeyData("1") : folder);
        g_fault = {};
        EXPECT_THAT(log.Records(), ElementsAreArray(row.log)) << what;
        EXPECT_EQ(Acquired(), row.acquired) << what;
        // A failed lookup is the last one.
        if (row.fault.how == Misbehave::Missing) {
            EXPECT_EQ(g_seen.lookups.back(), row.fault.call) << what;
        }
    }
    // The key that does not exist was not created, and the root kept its DACL.
    EXPECT_THAT(KeyAces(kMissingKey), ElementsAre("no key"));
    EXPECT_THAT(KeyAces(kKey), UnorderedElementsAre(kOtherTrustees[0], kOtherTrustees[1],
                                                    kOtherTrustees[2], "A;;0xF003F;S-1-5-32-545"));
}

// ---------------------------------------------------------------- rollback

constexpr char kSwitch[] = "|{7D3F2A10-5B4C-4E8D-9A61-0C2B3E4F5A6B}";

std::string ProductStore() {
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, sizeof windows);
    return std::string(windows) + "\\Installer\\CustAction\\{7D3F2A10-5B4C-4E8D-9A61-0C2B3E4F5A6B}";
}

bool StoreExists() { return GetFileAttributesA(ProductStore().c_str()) != INVALID_FILE_ATTRIBUTES; }

// The key's access list as SDDL, protection included.
std::string KeySddl(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return "no key";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &descriptor);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    const std::string sddl = text ? text : "";
    LocalFree(text);
    LocalFree(descriptor);
    RegCloseKey(key);
    return sddl;
}

// What the folder rollback writes: Wine keeps no folder lists, so the write
// is watched, and passed on.
struct Written {
    std::string sddl;
    SECURITY_INFORMATION info = 0;
    std::array<DWORD, 3> object{};
    DWORD answer = ERROR_SUCCESS;  // answered instead of writing, when not 0
};
Written g_written;

DWORD WINAPI WatchedSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                    PSID group, PACL dacl, PACL sacl) {
    if (g_written.answer != ERROR_SUCCESS) return g_written.answer;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    g_written = {text ? text : "", info, Identity(object), ERROR_SUCCESS};
    LocalFree(text);
    return SetSecurityInfo(object, type, info, owner, group, dacl, sacl);
}

// The rollback puts back the old lists, protection included, and deletes
// what it kept; so does the commit, leaving the new lists. A run twice, or
// without the switch, changes nothing and keeps nothing; a list that cannot
// be kept is not changed, and one that cannot be written back keeps its
// store for the next rollback.
TEST_F(RightsTest, RollbackPutsBackTheOldListsAndCommitDropsThem) {
    const std::string keyData = KeyData("1") + kSwitch, folderData = folder + kSwitch;
    PlatformOverride<decltype(Platform::SetSecurityInfo)> watch(&Platform::SetSecurityInfo, &WatchedSetSecurityInfo);
    CreateKey(kKey, "D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    const std::string before = KeySddl(kKey);
    Run(&SetRegRights, keyData);
    const std::string granted = KeySddl(kKey);
    EXPECT_NE(granted, before);
    Run(&SetRegRightsRollback, keyData);
    EXPECT_EQ(KeySddl(kKey), before);
    EXPECT_FALSE(StoreExists());
    Run(&SetRegRightsRollback, keyData);
    EXPECT_EQ(KeySddl(kKey), before);
    Run(&SetRegRights, keyData);
    Run(&SetRegRightsCommit, keyData);
    Run(&SetRegRightsRollback, keyData);  // after the commit: nothing left to undo
    EXPECT_EQ(KeySddl(kKey), granted);
    EXPECT_FALSE(StoreExists());
    CreateKey(kKey, "D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    Run(&SetRegRights, KeyData("1"));
    EXPECT_FALSE(StoreExists());
    {
        // A protected list (Wine keeps no protection bit: the list read is
        // reported protected) comes back protected.
        using ToText = decltype(Platform::ConvertSecurityDescriptorToStringSecurityDescriptorA);
        PlatformOverride<ToText> protectedList(
            &Platform::ConvertSecurityDescriptorToStringSecurityDescriptorA,
            [](PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPSTR* text, PULONG) -> BOOL {
                const char sddl[] = "D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
                *text = static_cast<LPSTR>(LocalAlloc(LMEM_FIXED, sizeof sddl));
                std::memcpy(*text, sddl, sizeof sddl);
                return TRUE;
            });
        Run(&SetRegRights, keyData);
    }
    Run(&SetRegRightsRollback, keyData);
    EXPECT_EQ(g_written.sddl, "D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    EXPECT_EQ(g_written.info,
              static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION));

    HANDLE held = CreateFileA(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    GetSecurityInfo(held, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &descriptor);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    const std::string folderBefore = text;
    LocalFree(text);
    LocalFree(descriptor);
    Run(&SetFoldRights, folderData);
    g_written = {};
    Run(&SetFoldRightsRollback, folderData);
    EXPECT_EQ(g_written.sddl, folderBefore);
    EXPECT_EQ(g_written.info, static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION |
                                                                UNPROTECTED_DACL_SECURITY_INFORMATION));
    EXPECT_EQ(g_written.object, Identity(held));
    CloseHandle(held);
    EXPECT_FALSE(StoreExists());
    // Another folder at the name since: its list is not the one kept.
    Run(&SetFoldRights, folderData);
    ASSERT_TRUE(MoveFileA(folder.c_str(), (folder + "Moved").c_str()));
    CreateDirectoryA(folder.c_str(), nullptr);
    g_written = {};
    Run(&SetFoldRightsRollback, folderData);
    EXPECT_EQ(g_written.sddl, "");
    EXPECT_FALSE(StoreExists());
    test::RemoveFolderTree(folder + "Moved");
    Run(&SetFoldRights, folderData);
    Run(&SetFoldRightsCommit, folderData);
    EXPECT_FALSE(StoreExists());

    // A kept text without a list is never written back: on Windows no list
    // at all lets everyone do everything (the seam sees any write).
    CreateKey(kKey, kKeyDacl);
    const std::string keyBefore = KeySddl(kKey);
    g_written = {};
    {
        UniqueKey key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, READ_CONTROL | WRITE_DAC, key.Receive()), 0);
        EXPECT_EQ(WriteAccessList(key.Get(), SE_REGISTRY_KEY, "O:SY"),
                  static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    }
    EXPECT_EQ(g_written.info, 0u);
    EXPECT_EQ(KeySddl(kKey), keyBefore);

    // Failures: what the log holds, and the store kept where the rollback
    // could not put the list back.
    using ToText = decltype(Platform::ConvertSecurityDescriptorToStringSecurityDescriptorA);
    const struct Row {
        Action forward, undo;
        bool keyRow;
        Fault fault;             // on the undo entry point
        bool keepFails;          // the old list cannot be kept by the forward action
        DWORD writeFails;        // the rollback's write answers this
        std::vector<std::string> log;
    } rows[] = {
        {SetRegRights, nullptr, true, {}, true, 0,
         {"Code: 8 Point: H2MX9QT6ZK4WV8R (" + std::string(kKey) + ")", "D48JVGHEBBL94W3:H2MX9QT6ZK4WV8R"}},
        {SetFoldRights, nullptr, false, {}, true, 0,
         {"Code: 8 Point: T8WQ3KX7ZN5MD2V (" + folder + ")", "VY2AUTEG6WRFBHY:T8WQ3KX7ZN5MD2V"}},
        {SetRegRights, SetRegRightsRollback, true, {}, false, 5, {"Code: 5 Point: B3XH7KQ9VM2TZ5N (" + std::string(kKey) + ")"}},
        {SetFoldRights, SetFoldRightsRollback, false, {}, false, 5, {"Code: 5 Point: D9TF3KZ6WQ8MX2R (" + folder + ")"}},
        {nullptr, SetRegRightsRollback, true, {"MsiGetPropertyA", Misbehave::Fails, 1615}, false, 0,
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "K4T9WQ2MZ7XH3VB:A4LRP85LV7J52YM"}},
        {nullptr, SetRegRightsCommit, true, {"MsiGetPropertyA", Misbehave::Fails, 1615}, false, 0,
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "Y6PD2RW8KX4MJ9T:A4LRP85LV7J52YM"}},
        {nullptr, SetFoldRightsRollback, false, {"MsiGetPropertyA", Misbehave::Fails, 1615}, false, 0,
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "M2KW8TX5QZ9RD3F:A4LRP85LV7J52YM"}},
        {nullptr, SetFoldRightsCommit, false, {"MsiGetPropertyA", Misbehave::Fails, 1615}, false, 0,
         {"Code: 1615 Point: A4LRP85LV7J52YM (0)(CustomActionData)((null))", "P4RN8XZ2KV6QH7W:A4LRP85LV7J52YM"}},
        {nullptr, SetRegRightsRollback, true, {"MsiGetPropertyA", Misbehave::Throws, 14}, false, 0,
         {"Code: 14 Point: R8NC5JY2PL6QWD4 "}},
        {nullptr, SetRegRightsCommit, true, {"MsiGetPropertyA", Misbehave::Throws, 14}, false, 0,
         {"Code: 14 Point: G5VZ3NQ7HT2BX8L "}},
        {nullptr, SetFoldRightsRollback, false, {"MsiGetPropertyA", Misbehave::Throws, 14}, false, 0,
         {"Code: 14 Point: X7HQ4VB9NC2KT6P "}},
        {nullptr, SetFoldRightsCommit, false, {"MsiGetPropertyA", Misbehave::Throws, 14}, false, 0,
         {"Code: 14 Point: Q9ZK5WT3MD7XB2C "}},
    };
    for (const Row& row : rows) {
        const std::string& data = row.keyRow ? keyData : folderData;
        const std::string what = row.log.front();
        CreateKey(kKey, kKeyDacl);
        const std::string keyBefore = KeySddl(kKey);
        if (row.forward) {
            std::optional<PlatformOverride<ToText>> failing;
            if (row.keepFails)
                failing.emplace(&Platform::ConvertSecurityDescriptorToStringSecurityDescriptorA,
                                [](PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPSTR*, PULONG) -> BOOL {
                                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                    return FALSE;
                                });
            if (row.keepFails) log.Remove();
            Run(row.forward, data);
            if (row.keepFails) {
                EXPECT_THAT(log.Records(), ElementsAreArray(row.log)) << what;
                Run(row.keyRow ? SetRegRightsCommit : SetFoldRightsCommit, data);  // its empty store
                if (row.keyRow) {
                    EXPECT_EQ(KeySddl(kKey), keyBefore) << what;
                }
            }
        }
        if (row.undo) {
            log.Remove();
            g_fault = row.fault;
            g_written = {};
            g_written.answer = row.writeFails;
            Run(row.undo, data);
            g_fault = {};
            g_written = {};
            EXPECT_THAT(log.Records(), ElementsAreArray(row.log)) << what;
            // Kept for the next rollback, which succeeds.
            if (row.writeFails) {
                EXPECT_TRUE(StoreExists()) << what;
                Run(row.undo, data);
                if (row.keyRow) {
                    EXPECT_EQ(KeySddl(kKey), keyBefore) << what;
                }
            }
        }
        EXPECT_FALSE(StoreExists()) << what;
    }
}

// ---------------------------------------------------------------- msiexec

// Runs a command line and returns its exit code.
DWORD RunProcess(std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &child))
        return GetLastError();
    WaitForSingleObject(child.hProcess, 120000);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return exitCode;
}

TEST(RightsEndToEnd, DeferredActionsGrantUsersDuringAnInstallation) {
    test::InstallerLog log;
    const char key[] = "Software\\CustActionTests\\RightsInstalled";
    CreateKey(key, kKeyDacl);
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    const std::string folder = std::string(temp) + "CustActionRightsInstalled";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string package = std::string("\"") + CA_RIGHTS_PACKAGE + "\"";

    EXPECT_EQ(RunProcess("msiexec.exe /i " + package + " /qn CA_GRANT_KEY=" + key +
                         " CA_GRANT_KEY_ACCESS=1 CA_GRANT_FOLDER=\"" + folder + "\""),
              0u);
    EXPECT_THAT(KeyAces(key), UnorderedElementsAre(kOtherTrustees[0], kOtherTrustees[1],
                                                   kOtherTrustees[2], "A;CI;0x3001F;S-1-5-32-545"));
    // The key is in the view of the DLL's bitness: a 32-bit installation on
    // 64-bit Windows finds HKLM\Software below Wow6432Node of the 64-bit view.
    const auto inView = [](const std::string& path, REGSAM view) {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &opened) != 0) return false;
        RegCloseKey(opened);
        return true;
    };
    const std::string below = std::string(key).substr(sizeof "Software" - 1);
    EXPECT_EQ(inView("Software\\Wow6432Node" + below, KEY_WOW64_64KEY), sizeof(void*) == 4);
    EXPECT_EQ(inView(key, KEY_WOW64_32KEY), sizeof(void*) == 4);
    EXPECT_EQ(inView(key, KEY_WOW64_64KEY), sizeof(void*) == 8);
    EXPECT_THAT(log.Records(), IsEmpty());
    EXPECT_EQ(RunProcess("msiexec.exe /x " + package + " /qn"), 0u);

    // A key that is not there: the action server logs the failure, the
    // installation goes on.
    EXPECT_EQ(RunProcess("msiexec.exe /i " + package + " /qn CA_GRANT_KEY=" + kMissingKey +
                         " CA_GRANT_KEY_ACCESS=0"),
              0u);
    EXPECT_THAT(log.Records(), ElementsAre("Code: 2 Point: NUJ7GJ3U5W64RZ2 ",
                                           "D48JVGHEBBL94W3:NUJ7GJ3U5W64RZ2"));
    EXPECT_EQ(RunProcess("msiexec.exe /x " + package + " /qn"), 0u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    RemoveDirectoryA(folder.c_str());
}

}  // namespace
}  // namespace ca
