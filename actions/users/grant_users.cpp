#include "actions/users/grant_users.h"

#include "runtime/handles.h"

namespace ca {

namespace {

using AllocateAndInitializeSidFn = decltype(&::AllocateAndInitializeSid);
using GetSecurityInfoFn = decltype(&::GetSecurityInfo);
using SetSecurityInfoFn = decltype(&::SetSecurityInfo);
using SetEntriesInAclAFn = decltype(&::SetEntriesInAclA);

// Owners of what the security functions allocate.
struct SidTraits {
    static PSID Invalid() { return nullptr; }
    static void Close(PSID sid) { Os().FreeSid(sid); }
};
using UniqueSid = UniqueOsHandle<PSID, SidTraits>;
using UniqueSecurityDescriptor =
    UniqueOsHandle<PSECURITY_DESCRIPTOR, LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;
using UniqueAcl = UniqueOsHandle<PACL, LocalMemoryTraits<PACL>>;

[[noreturn]] void Fail(ActionError& error, const char* point, DWORD code) {
    error.RecordError(point, static_cast<int32_t>(code));
    ThrowFailure();
}

// The already loaded Advapi32.dll; it is not loaded here, so nothing is
// released either.
HMODULE SecurityLibrary(const char* point, ActionError& error) {
    const HMODULE library = Os().GetModuleHandleA("Advapi32.dll");
    if (library == nullptr) Fail(error, point, Os().GetLastError());
    return library;
}

template <typename Fn>
Fn EntryPoint(HMODULE library, const char* name, const char* point, ActionError& error) {
    const FARPROC address = Os().GetProcAddress(library, name);
    if (address == nullptr) Fail(error, point, Os().GetLastError());
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// S-1-5-32-545, the built-in Users group.
void AllocateUsersSid(AllocateAndInitializeSidFn allocate, UniqueSid& sid, const char* point,
                      ActionError& error) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!allocate(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0,
                  0, 0, 0, sid.Receive()))
        Fail(error, point, Os().GetLastError());
}

// The existing DACL with the Users entry set on top (SET_ACCESS drops any
// earlier entry of the group).
void MergeUsersEntry(SetEntriesInAclAFn setEntries, PSID users, DWORD accessMask,
                     DWORD inheritance, PACL existing, UniqueAcl& merged, const char* point,
                     ActionError& error) {
    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = accessMask;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = inheritance;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(users);
    const DWORD result = setEntries(1, &entry, existing, merged.Receive());
    if (result != ERROR_SUCCESS) Fail(error, point, result);
}

// An empty path would name HKEY_LOCAL_MACHINE itself rather than a key
// below it, and so would one made of nothing but backslashes.
bool NamesKeyBelowRoot(const std::string& keyPath) {
    return keyPath.find_first_not_of('\\') != std::string::npos;
}

}  // namespace

bool GrantUsersOnRegistryKey(const std::string& keyPath, DWORD accessMask, ActionError& error,
                             const KeepAccessList& keep) {
    // Released in reverse order on every path: key, descriptor, new DACL, SID.
    UniqueSid users;
    UniqueAcl newDacl;
    UniqueSecurityDescriptor descriptor;
    UniqueKey key;
    const BodyOutcome outcome = RunActionBody(error, "F8C38DK9T7E8TEY", [&] {
        const HMODULE advapi = SecurityLibrary("DNABALCMSIHH38R", error);
        const auto allocateSid = EntryPoint<AllocateAndInitializeSidFn>(
            advapi, "AllocateAndInitializeSid", "N8K2KURGLVFEY7C", error);
        const auto getSecurityInfo =
            EntryPoint<GetSecurityInfoFn>(advapi, "GetSecurityInfo", "P46TWYENHK76DWD", error);
        const auto setEntries =
            EntryPoint<SetEntriesInAclAFn>(advapi, "SetEntriesInAclA", "L4GLVCSDDFKJXJX", error);
        const auto setSecurityInfo =
            EntryPoint<SetSecurityInfoFn>(advapi, "SetSecurityInfo", "HDGM566G4WUHLJ8", error);

        AllocateUsersSid(allocateSid, users, "J4RFUR649BZXH8G", error);

        if (!NamesKeyBelowRoot(keyPath)) Fail(error, "NUJ7GJ3U5W64RZ2", ERROR_INVALID_DATA);
        const LSTATUS opened = Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0,
                                                  READ_CONTROL | WRITE_DAC, key.Receive());
        if (opened != ERROR_SUCCESS) Fail(error, "NUJ7GJ3U5W64RZ2", static_cast<DWORD>(opened));

        PACL dacl = nullptr;
        DWORD result = getSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, descriptor.Receive());
        if (result != ERROR_SUCCESS) Fail(error, "KUVZGXFIZRJGAMJ", result);
        if (dacl == nullptr) return;  // no DACL: everyone has full access already

        MergeUsersEntry(setEntries, users.Get(), accessMask, CONTAINER_INHERIT_ACE, dacl, newDacl,
                        "LPESR34SVHC9NEL", error);
        if (keep && !keep(descriptor.Get())) ThrowFailure();
        result = setSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, newDacl.Get(), nullptr);
        if (result != ERROR_SUCCESS) Fail(error, "IPPKPFGGSCRL936", result);
    });
    return outcome == BodyOutcome::Completed;
}

bool GrantUsersOnFolder(HANDLE folder, DWORD accessMask, ActionError& error, const KeepAccessList& keep) {
    UniqueSid users;
    UniqueAcl newDacl;
    UniqueSecurityDescriptor descriptor;
    const BodyOutcome outcome = RunActionBody(error, "BYITFRL29S99KYY", [&] {
        const HMODULE advapi = SecurityLibrary("PZ3SJTRIUH9BTP8", error);
        const auto allocateSid = EntryPoint<AllocateAndInitializeSidFn>(
            advapi, "AllocateAndInitializeSid", "9FCM8C35SV57Z3R", error);
        const auto getSecurityInfo =
            EntryPoint<GetSecurityInfoFn>(advapi, "GetSecurityInfo", "USVI8LMAN4EF2HS", error);
        const auto setEntries =
            EntryPoint<SetEntriesInAclAFn>(advapi, "SetEntriesInAclA", "9CVGIGPDLKWXETT", error);
        const auto setSecurityInfo =
            EntryPoint<SetSecurityInfoFn>(advapi, "SetSecurityInfo", "VMEBHPAHJU78F9U", error);

        AllocateUsersSid(allocateSid, users, "A8F9UJCKHBNPTIU", error);

        // Read and written through the handle whose place was proven: a name
        // could meanwhile lead somewhere else.
        PACL dacl = nullptr;
        DWORD result = getSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                       &dacl, nullptr, descriptor.Receive());
        if (result != ERROR_SUCCESS) Fail(error, "WIY5TTXPFJXYUYV", result);
        if (dacl == nullptr) return;  // no DACL: everyone has full access already

        MergeUsersEntry(setEntries, users.Get(), accessMask,
                        OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, dacl, newDacl,
                        "HUHYT4IVCT88VEW", error);
        if (keep && !keep(descriptor.Get())) ThrowFailure();
        result = setSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 newDacl.Get(), nullptr);
        if (result != ERROR_SUCCESS) Fail(error, "TIAWS8BFBECCELF", result);
    });
    return outcome == BodyOutcome::Completed;
}

bool IsWindows2000OrLater(ActionError& error, const char* callFailedPoint,
                          const char* tooOldPoint) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    static_assert(sizeof version == 148);
    if (!Os().GetVersionExA(&version)) {
        error.RecordError(callFailedPoint, static_cast<int32_t>(Os().GetLastError()));
        return false;
    }
    if (version.dwMajorVersion < 5) {
        error.RecordError(tooOldPoint, ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

}  // namespace ca
