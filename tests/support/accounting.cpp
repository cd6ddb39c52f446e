#include "accounting.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace ca::test {

namespace {

struct State {
    std::mutex lock;
    bool installed = false;
    Platform saved;    // the entries as they were before Install
    Platform tracked;  // the table with the wrappers
    std::array<int, static_cast<size_t>(Resource::kCount)> acquired{}, released{};
    // What is held now, by kind: handle or pointer value -> how often.
    std::array<std::map<uintptr_t, int>, static_cast<size_t>(Resource::kCount)> held;
    struct Hive {
        HKEY root;
        std::string name;
    };
    std::map<uintptr_t, Hive> hives;                  // loaded hives by id
    std::map<uintptr_t, std::string> privilegeNames;  // LUID id -> name
    std::map<uintptr_t, LUID> privileges;             // LUID id -> LUID
    // The real security functions behind the wrappers GetProcAddress hands out.
    decltype(&::AllocateAndInitializeSid) allocateSid = nullptr;
    decltype(&::GetSecurityInfo) getSecurityInfo = nullptr;
    decltype(&::GetNamedSecurityInfoA) getNamedSecurityInfo = nullptr;
    decltype(&::SetEntriesInAclA) setEntriesInAcl = nullptr;
};

State& S() {
    static State state;
    return state;
}

size_t Index(Resource kind) { return static_cast<size_t>(kind); }

// The wrappers keep the thread's last error as the real call left it.
class KeepLastError {
public:
    KeepLastError() : error_(::GetLastError()) {}
    ~KeepLastError() { ::SetLastError(error_); }

private:
    DWORD error_;
};

void Acquire(Resource kind, uintptr_t value) {
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(S().lock);
    ++S().acquired[Index(kind)];
    ++S().held[Index(kind)][value];
}

// True when the value was held as that kind (and is now released once).
bool Release(Resource kind, uintptr_t value) {
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(S().lock);
    auto& held = S().held[Index(kind)];
    const auto it = held.find(value);
    if (it == held.end()) return false;
    if (--it->second == 0) held.erase(it);
    ++S().released[Index(kind)];
    return true;
}

template <typename T>
uintptr_t Value(T handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

bool IsPredefinedKey(HKEY key) {
    const uint32_t value = static_cast<uint32_t>(Value(key));
    return value >= 0x80000000u && value < 0x80000100u;
}

// A loaded hive is named by its root key and its subkey, letter case folded.
uintptr_t HiveId(HKEY root, const char* name) {
    std::string folded = name ? name : "";
    for (char& c : folded) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return std::hash<std::string>{}(std::to_string(Value(root)) + "\\" + folded);
}

// Both halves of the LUID; a 32-bit id folds the high half into the low one.
uintptr_t LuidId(const LUID& luid) {
    const uint64_t id = (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
    return static_cast<uintptr_t>(sizeof(uintptr_t) < sizeof id ? id ^ (id >> 32) : id);
}

// ---------------------------------------------------------------- wrappers

LSTATUS WINAPI TrackedRegOpenKeyExA(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key) {
    const LSTATUS result = S().saved.RegOpenKeyExA(parent, name, options, access, key);
    if (result == ERROR_SUCCESS && key && *key && !IsPredefinedKey(*key)) Acquire(Resource::Key, Value(*key));
    return result;
}

LSTATUS WINAPI TrackedRegOpenKeyExW(HKEY parent, LPCWSTR name, DWORD options, REGSAM access, PHKEY key) {
    const LSTATUS result = S().saved.RegOpenKeyExW(parent, name, options, access, key);
    if (result == ERROR_SUCCESS && key && *key && !IsPredefinedKey(*key)) Acquire(Resource::Key, Value(*key));
    return result;
}

LSTATUS WINAPI TrackedRegCreateKeyExA(HKEY parent, LPCSTR name, DWORD reserved, LPSTR cls, DWORD options,
                                      REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                                      LPDWORD disposition) {
    const LSTATUS result =
        S().saved.RegCreateKeyExA(parent, name, reserved, cls, options, access, security, key, disposition);
    if (result == ERROR_SUCCESS && key && *key && !IsPredefinedKey(*key)) Acquire(Resource::Key, Value(*key));
    return result;
}

LSTATUS WINAPI TrackedRegCloseKey(HKEY key) {
    Release(Resource::Key, Value(key));
    return S().saved.RegCloseKey(key);
}

LSTATUS WINAPI TrackedRegLoadKeyA(HKEY root, LPCSTR name, LPCSTR file) {
    const LSTATUS result = S().saved.RegLoadKeyA(root, name, file);
    if (result == ERROR_SUCCESS) {
        const uintptr_t id = HiveId(root, name);
        {
            std::lock_guard<std::mutex> guard(S().lock);
            S().hives[id] = {root, name ? name : ""};
        }
        Acquire(Resource::Hive, id);
    }
    return result;
}

LSTATUS WINAPI TrackedRegUnLoadKeyA(HKEY root, LPCSTR name) {
    const LSTATUS result = S().saved.RegUnLoadKeyA(root, name);
    if (result == ERROR_SUCCESS) Release(Resource::Hive, HiveId(root, name));
    return result;
}

HANDLE WINAPI TrackedCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
    const HANDLE h = S().saved.CreateFileA(name, access, share, security, disposition, flags, templateFile);
    if (h != INVALID_HANDLE_VALUE) Acquire(Resource::File, Value(h));
    return h;
}

NTSTATUS NTAPI TrackedNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                   PIO_STATUS_BLOCK status, PLARGE_INTEGER allocation, ULONG attributes, ULONG share,
                                   ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    const NTSTATUS result = S().saved.NtCreateFile(file, access, object, status, allocation, attributes, share,
                                                   disposition, options, ea, eaLength);
    if (result >= 0) Acquire(Resource::File, Value(*file));
    return result;
}

HANDLE WINAPI TrackedCreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owner, LPCSTR name) {
    const HANDLE h = S().saved.CreateMutexA(security, owner, name);
    if (h != nullptr) Acquire(Resource::Mutex, Value(h));
    return h;
}

BOOL WINAPI TrackedOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    const BOOL ok = S().saved.OpenProcessToken(process, access, token);
    if (ok && token && *token) Acquire(Resource::Token, Value(*token));
    return ok;
}

BOOL WINAPI TrackedCloseHandle(HANDLE h) {
    if (!Release(Resource::File, Value(h)) && !Release(Resource::Mutex, Value(h)))
        Release(Resource::Token, Value(h));
    return S().saved.CloseHandle(h);
}

HANDLE WINAPI TrackedFindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    const HANDLE h = S().saved.FindFirstFileA(pattern, data);
    if (h != INVALID_HANDLE_VALUE) Acquire(Resource::Find, Value(h));
    return h;
}

BOOL WINAPI TrackedFindClose(HANDLE h) {
    Release(Resource::Find, Value(h));
    return S().saved.FindClose(h);
}

HMODULE WINAPI TrackedLoadLibraryA(LPCSTR name) {
    const HMODULE module = S().saved.LoadLibraryA(name);
    if (module) Acquire(Resource::Library, Value(module));
    return module;
}

BOOL WINAPI TrackedFreeLibrary(HMODULE module) {
    Release(Resource::Library, Value(module));
    return S().saved.FreeLibrary(module);
}

BOOL WINAPI TrackedAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                                         PTOKEN_PRIVILEGES previous, PDWORD returnLength) {
    const BOOL ok = S().saved.AdjustTokenPrivileges(token, disableAll, state, length, previous, returnLength);
    if (ok && state && !disableAll) {
        KeepLastError keep;
        for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
            const LUID luid = state->Privileges[i].Luid;
            const uintptr_t id = LuidId(luid);
            if (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) {
                char name[64] = {};
                DWORD size = sizeof name;
                LUID copy = luid;
                if (!::LookupPrivilegeNameA(nullptr, &copy, name, &size)) std::snprintf(name, sizeof name, "LUID %lu", luid.LowPart);
                // Enabling an enabled privilege changes nothing.
                bool alreadyHeld;
                {
                    std::lock_guard<std::mutex> guard(S().lock);
                    S().privilegeNames[id] = name;
                    S().privileges[id] = luid;
                    alreadyHeld = S().held[Index(Resource::Privilege)].count(id) != 0;
                }
                if (!alreadyHeld) Acquire(Resource::Privilege, id);
            } else {
                Release(Resource::Privilege, id);
            }
        }
    }
    return ok;
}

PVOID WINAPI TrackedFreeSid(PSID sid) {
    Release(Resource::Sid, Value(sid));
    return S().saved.FreeSid(sid);
}

HLOCAL WINAPI TrackedLocalFree(HLOCAL memory) {
    if (!Release(Resource::SecurityDescriptor, Value(memory))) Release(Resource::Acl, Value(memory));
    return S().saved.LocalFree(memory);
}

BOOL WINAPI TrackedAllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1,
                                            DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7,
                                            PSID* sid) {
    const BOOL ok = S().allocateSid(authority, count, a0, a1, a2, a3, a4, a5, a6, a7, sid);
    if (ok && sid && *sid) Acquire(Resource::Sid, Value(*sid));
    return ok;
}

DWORD WINAPI TrackedGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                    PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD result = S().getSecurityInfo(object, type, info, owner, group, dacl, sacl, descriptor);
    if (result == ERROR_SUCCESS && descriptor && *descriptor) Acquire(Resource::SecurityDescriptor, Value(*descriptor));
    return result;
}

DWORD WINAPI TrackedGetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                          PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                          PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD result = S().getNamedSecurityInfo(name, type, info, owner, group, dacl, sacl, descriptor);
    if (result == ERROR_SUCCESS && descriptor && *descriptor) Acquire(Resource::SecurityDescriptor, Value(*descriptor));
    return result;
}

DWORD WINAPI TrackedSetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL old, PACL* created) {
    const DWORD result = S().setEntriesInAcl(count, entries, old, created);
    if (result == ERROR_SUCCESS && created && *created) Acquire(Resource::Acl, Value(*created));
    return result;
}

MSIHANDLE WINAPI TrackedMsiCreateRecord(UINT fields) {
    const MSIHANDLE record = S().saved.MsiCreateRecord(fields);
    if (record != 0) Acquire(Resource::MsiHandle, record);
    return record;
}

UINT WINAPI TrackedMsiCloseHandle(MSIHANDLE handle) {
    Release(Resource::MsiHandle, handle);
    return S().saved.MsiCloseHandle(handle);
}

// The security functions are looked up by name; the lookup hands out wrappers.
FARPROC WINAPI TrackedGetProcAddress(HMODULE module, LPCSTR name) {
    const FARPROC real = S().saved.GetProcAddress(module, name);
    if (real == nullptr || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) return real;
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(S().lock);
    if (std::strcmp(name, "AllocateAndInitializeSid") == 0) {
        S().allocateSid = reinterpret_cast<decltype(S().allocateSid)>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TrackedAllocateAndInitializeSid));
    }
    if (std::strcmp(name, "GetSecurityInfo") == 0) {
        S().getSecurityInfo = reinterpret_cast<decltype(S().getSecurityInfo)>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TrackedGetSecurityInfo));
    }
    if (std::strcmp(name, "GetNamedSecurityInfoA") == 0) {
        S().getNamedSecurityInfo = reinterpret_cast<decltype(S().getNamedSecurityInfo)>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TrackedGetNamedSecurityInfoA));
    }
    if (std::strcmp(name, "SetEntriesInAclA") == 0) {
        S().setEntriesInAcl = reinterpret_cast<decltype(S().setEntriesInAcl)>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TrackedSetEntriesInAclA));
    }
    return real;
}

// Applies `f(slot, wrapper)` to every wrapped entry of the table.
template <typename F>
void ForEachWrapped(F&& f) {
    f(&Platform::RegOpenKeyExA, &TrackedRegOpenKeyExA);
    f(&Platform::RegCreateKeyExA, &TrackedRegCreateKeyExA);
    f(&Platform::RegOpenKeyExW, &TrackedRegOpenKeyExW);
    f(&Platform::RegCloseKey, &TrackedRegCloseKey);
    f(&Platform::RegLoadKeyA, &TrackedRegLoadKeyA);
    f(&Platform::RegUnLoadKeyA, &TrackedRegUnLoadKeyA);
    f(&Platform::CreateFileA, &TrackedCreateFileA);
    f(&Platform::NtCreateFile, &TrackedNtCreateFile);
    f(&Platform::CreateMutexA, &TrackedCreateMutexA);
    f(&Platform::OpenProcessToken, &TrackedOpenProcessToken);
    f(&Platform::CloseHandle, &TrackedCloseHandle);
    f(&Platform::FindFirstFileA, &TrackedFindFirstFileA);
    f(&Platform::FindClose, &TrackedFindClose);
    f(&Platform::LoadLibraryA, &TrackedLoadLibraryA);
    f(&Platform::FreeLibrary, &TrackedFreeLibrary);
    f(&Platform::AdjustTokenPrivileges, &TrackedAdjustTokenPrivileges);
    f(&Platform::FreeSid, &TrackedFreeSid);
    f(&Platform::LocalFree, &TrackedLocalFree);
    f(&Platform::GetProcAddress, &TrackedGetProcAddress);
    f(&Platform::MsiCreateRecord, &TrackedMsiCreateRecord);
    f(&Platform::MsiCloseHandle, &TrackedMsiCloseHandle);
}

}  // namespace

const char* ResourceName(Resource kind) {
    switch (kind) {
    case Resource::Key: return "key";
    case Resource::File: return "file";
    case Resource::Find: return "find";
    case Resource::Token: return "token";
    case Resource::Mutex: return "mutex";
    case Resource::Library: return "library";
    case Resource::Sid: return "SID";
    case Resource::SecurityDescriptor: return "security descriptor";
    case Resource::Acl: return "ACL";
    case Resource::Hive: return "hive";
    case Resource::Privilege: return "privilege";
    case Resource::MsiHandle: return "installer handle";
    case Resource::kCount: break;
    }
    return "?";
}

void Accounting::Install() {
    if (S().installed) return;
    S().saved = Os();
    ForEachWrapped([](auto slot, auto wrapper) { Os().*slot = wrapper; });
    S().tracked = Os();
    for (auto& m : S().held) m.clear();
    S().hives.clear();
    S().privilegeNames.clear();
    S().privileges.clear();
    ResetCounts();
    S().installed = true;
}

void Accounting::Uninstall() {
    if (!S().installed) return;
    ForEachWrapped([](auto slot, auto) { Os().*slot = S().saved.*slot; });
    S().installed = false;
}

bool Accounting::Installed() { return S().installed; }

int Accounting::Acquired(Resource kind) {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().acquired[Index(kind)];
}

int Accounting::Released(Resource kind) {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().released[Index(kind)];
}

int Accounting::Held(Resource kind) {
    std::lock_guard<std::mutex> guard(S().lock);
    int n = 0;
    for (const auto& [value, count] : S().held[Index(kind)]) n += count;
    return n;
}

std::vector<std::string> Accounting::Leaks() {
    std::lock_guard<std::mutex> guard(S().lock);
    std::vector<std::string> lines;
    for (size_t k = 0; k < S().held.size(); ++k) {
        const Resource kind = static_cast<Resource>(k);
        for (const auto& [value, count] : S().held[k]) {
            std::string what;
            if (kind == Resource::Hive) {
                const auto& hive = S().hives[value];
                what = (Value(hive.root) == Value(HKEY_USERS) ? "HKUS\\" : "") + hive.name;
            } else if (kind == Resource::Privilege) {
                what = S().privilegeNames[value];
            } else {
                char text[32];
                std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
                what = text;
            }
            lines.push_back(std::string(ResourceName(kind)) + " " + what +
                            (count > 1 ? " (" + std::to_string(count) + " times)" : ""));
        }
    }
    return lines;
}

void Accounting::ReleaseLeaks() {
    std::array<std::map<uintptr_t, int>, static_cast<size_t>(Resource::kCount)> held;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        held.swap(S().held);
    }
    const Platform& real = S().installed ? S().saved : Os();
    auto each = [&](Resource kind, auto&& release) {
        for (const auto& [value, count] : held[Index(kind)])
            for (int i = 0; i < count; ++i) release(value);
    };
    each(Resource::Key, [&](uintptr_t v) { real.RegCloseKey(reinterpret_cast<HKEY>(v)); });
    each(Resource::File, [&](uintptr_t v) { real.CloseHandle(reinterpret_cast<HANDLE>(v)); });
    each(Resource::Mutex, [&](uintptr_t v) { real.CloseHandle(reinterpret_cast<HANDLE>(v)); });
    each(Resource::Find, [&](uintptr_t v) { real.FindClose(reinterpret_cast<HANDLE>(v)); });
    each(Resource::Library, [&](uintptr_t v) { real.FreeLibrary(reinterpret_cast<HMODULE>(v)); });
    each(Resource::Sid, [&](uintptr_t v) { real.FreeSid(reinterpret_cast<PSID>(v)); });
    each(Resource::SecurityDescriptor, [&](uintptr_t v) { real.LocalFree(reinterpret_cast<HLOCAL>(v)); });
    each(Resource::Acl, [&](uintptr_t v) { real.LocalFree(reinterpret_cast<HLOCAL>(v)); });
    each(Resource::MsiHandle, [&](uintptr_t v) { real.MsiCloseHandle(static_cast<MSIHANDLE>(v)); });
    // Hives need the restore privilege to unload; privileges are switched off last.
    HANDLE token = nullptr;
    if (!held[Index(Resource::Hive)].empty() || !held[Index(Resource::Privilege)].empty())
        real.OpenProcessToken(real.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
    auto adjust = [&](LUID luid, DWORD attributes) {
        if (!token) return;
        TOKEN_PRIVILEGES change{};
        change.PrivilegeCount = 1;
        change.Privileges[0].Luid = luid;
        change.Privileges[0].Attributes = attributes;
        real.AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
    };
    LUID restore{};
    if (!held[Index(Resource::Hive)].empty() && ::LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &restore)) {
        adjust(restore, SE_PRIVILEGE_ENABLED);
        each(Resource::Hive, [&](uintptr_t v) {
            const auto& hive = S().hives[v];
            real.RegUnLoadKeyA(hive.root, hive.name.c_str());
        });
        if (held[Index(Resource::Privilege)].count(LuidId(restore)) == 0) adjust(restore, 0);
    }
    each(Resource::Privilege, [&](uintptr_t v) { adjust(S().privileges[v], 0); });
    if (token) real.CloseHandle(token);
}

void Accounting::ResetCounts() {
    std::lock_guard<std::mutex> guard(S().lock);
    S().acquired.fill(0);
    S().released.fill(0);
}

const Platform& Tracked() { return S().installed ? S().tracked : Os(); }

}  // namespace ca::test
