// DelMultiUserData against the registry work it cannot avoid, measured side
// by side in one run and one prefix: profiles that are not logged on, each
// with a 21-key tree to remove.
//
//   ours     the action: the whole walk and every step per profile
//   bare     the same system calls in a plain loop: the proofs of the
//            profile folder and the hive file (open without following a
//            link, final path, attributes and names), the guard entry, load,
//            the hive's number asked again; per key open as itself below its
//            parent, ask whether it is a link, query, enumerate, delete
//            through the handle, close; the look down to the application's
//            folder below the held profile folder; unload
//   registry the registry calls alone (information: what the proofs cost)
//   fastest  load; delete each key by its known name; unload
//   kept     the action with the transaction switch, then its commit: every
//            tree saved into the store before its removal, the store deleted
//   unflushed the same with the disk's flush of each record left out
//            (information: what the write-ahead records cost on this disk)
//   rollback DelMultiUserDataRollback after a removal with the switch (not
//            timed). The test platform writes nothing back to the file of a
//            hive another process loaded, so the trees are still there when
//            the rollback loads the hives again: this is its walk, the
//            backups read and every key and value found in place, not the
//            writing of keys that a real system would need on top
//
// Usage: del_multi_user_data_bench.exe [profiles (100)] [rounds (7)]
#include "actions/action.h"
#include "runtime/platform.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" UINT __stdcall DelMultiUserData(MSIHANDLE);
extern "C" UINT __stdcall DelMultiUserDataRollback(MSIHANDLE);
extern "C" UINT __stdcall DelMultiUserDataCommit(MSIHANDLE);

namespace {

constexpr char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kStaging[] = "Software\\CustActionBenchStaging";
constexpr char kKeyNamePrefix[] = "S-1-5-21-4444-5555-6666-";
constexpr char kVendor[] = "Software\\CABench\\Vendor";
constexpr char kItems[] = "Software\\CABench\\Vendor;Software\\CABench\\Vendor\\App;*.log;CABenchApp;";
constexpr char kKeptItems[] =
    "Software\\CABench\\Vendor;Software\\CABench\\Vendor\\App;*.log;CABenchApp;|{7B9D1F3A-5C7E-4A9B-8D1F-3A5C7E9B1D2F}";
// What the actions read as CustomActionData.
const char* g_items = kItems;

struct Profile {
    std::string keyName, folder, hiveFile;
};

std::string TempFolder() {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "ca-bench-profiles";
}

void SetPrivilege(const char* name, bool on) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &change.Privileges[0].Luid);
    change.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
    CloseHandle(token);
}

void CreateKey(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
}

// The tree below App: App, 4 children, 4 grandchildren each. Deepest first,
// as the fastest removal deletes them.
std::vector<std::string> TreeKeys() {
    std::vector<std::string> keys;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) keys.push_back("\\App\\Part" + std::to_string(i) + "\\Item" + std::to_string(j));
    for (int i = 0; i < 4; ++i) keys.push_back("\\App\\Part" + std::to_string(i));
    keys.push_back("\\App");
    return keys;
}

// Writes every profile's hive afresh from one staging tree.
void WriteHives(const std::vector<Profile>& profiles) {
    CreateKey(HKEY_LOCAL_MACHINE, kStaging);
    for (const std::string& key : TreeKeys()) CreateKey(HKEY_LOCAL_MACHINE, std::string(kStaging) + "\\" + kVendor + key);
    HKEY shell = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                    (std::string(kStaging) + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders").c_str(),
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shell, nullptr);
    const char appData[] = "%USERPROFILE%\\AppData";
    RegSetValueExA(shell, "AppData", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(appData), sizeof appData);
    RegCloseKey(shell);
    HKEY staging = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStaging, 0, KEY_ALL_ACCESS, &staging);
    SetPrivilege(SE_BACKUP_NAME, true);
    for (const Profile& p : profiles) {
        DeleteFileA(p.hiveFile.c_str());
        if (RegSaveKeyA(staging, p.hiveFile.c_str(), nullptr) != ERROR_SUCCESS) {
            std::fprintf(stderr, "cannot write %s\n", p.hiveFile.c_str());
            std::exit(1);
        }
    }
    SetPrivilege(SE_BACKUP_NAME, false);
    RegCloseKey(staging);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStaging);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kStaging);
}

std::vector<Profile> CreateProfiles(int count) {
    std::vector<Profile> profiles;
    CreateDirectoryA(TempFolder().c_str(), nullptr);
    for (int i = 0; i < count; ++i) {
        Profile p;
        p.keyName = kKeyNamePrefix + std::to_string(1000 + i);
        p.folder = TempFolder() + "\\" + p.keyName;
        p.hiveFile = p.folder + "\\ntuser.dat";
        CreateDirectoryA(p.folder.c_str(), nullptr);
        HKEY entry = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kProfileList) + "\\" + p.keyName).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &entry, nullptr);
        RegSetValueExA(entry, "ProfileImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(p.folder.c_str()),
                       static_cast<DWORD>(p.folder.size() + 1));
        RegCloseKey(entry);
        profiles.push_back(p);
    }
    return profiles;
}

void RemoveProfiles(const std::vector<Profile>& profiles) {
    SetPrivilege(SE_RESTORE_NAME, true);
    for (const Profile& p : profiles) {
        RegUnLoadKeyA(HKEY_USERS, p.keyName.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kProfileList) + "\\" + p.keyName).c_str());
        DeleteFileA(p.hiveFile.c_str());
        RemoveDirectoryA(p.folder.c_str());
    }
    SetPrivilege(SE_RESTORE_NAME, false);
    RemoveDirectoryA(TempFolder().c_str());
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F>
double Timed(F&& f) {
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    f();
    QueryPerformanceCounter(&to);
    return Milliseconds(from, to);
}

int g_failures;

void Check(LONG result, const char* what) {
    if (result != ERROR_SUCCESS && g_failures++ < 5) std::fprintf(stderr, "%s failed with %ld\n", what, result);
}

// The plain loop of the calls a removal that follows no registry link makes:
// each key opened as itself below its parent's handle, asked whether it is a
// link, listed, and deleted through its own handle.
using DeleteKeyFn = LONG(WINAPI*)(HANDLE);
DeleteKeyFn NtDeleteKeyFunction() {
    static const DeleteKeyFn function = reinterpret_cast<DeleteKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    return function;
}

HKEY BareOpen(HKEY parent, const std::string& name, REGSAM access) {
    HKEY key = nullptr;
    Check(RegOpenKeyExA(parent, name.c_str(), REG_OPTION_OPEN_LINK, access | KEY_QUERY_VALUE, &key), "open");
    DWORD type = 0;
    if (RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) != ERROR_FILE_NOT_FOUND)
        Check(ERROR_INVALID_DATA, "link check");
    return key;
}

void BareDeleteTree(HKEY key) {
    DWORD subkeys = 0, longest = 0;
    Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr),
          "query");
    std::vector<std::string> names;
    char name[512];
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = sizeof name;
        Check(RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr), "enumerate");
        names.emplace_back(name, length);
    }
    for (const std::string& n : names) {
        const HKEY child = BareOpen(key, n, KEY_READ | DELETE);
        BareDeleteTree(child);
        RegCloseKey(child);
    }
    Check(NtDeleteKeyFunction()(key) >= 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, "delete");
}

// The file-system calls of the proofs that LocalSystem must make for each
// profile, in a plain loop: what the action cannot do without.
using NtCreateFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                    ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryInformationFileFn = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

// What a proof asks of an open object: its final path, attributes and names.
HANDLE Proven(HANDLE h) {
    char final[MAX_PATH * 2];
    GetFinalPathNameByHandleA(h, final, sizeof final, 0);
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
    GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard);
    return h;
}

HANDLE ProvenOpen(const std::string& path, DWORD flags) {
    // A folder is held for listing; a file only for its attributes, as the
    // hive file is while it is loaded.
    const DWORD access = (flags & FILE_FLAG_BACKUP_SEMANTICS) ? FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY
                                                              : FILE_READ_ATTRIBUTES;
    const HANDLE h = CreateFileA(path.c_str(), access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
    return Proven(h);
}

HANDLE ChildOpen(HANDLE parent, const wchar_t* name, ACCESS_MASK access, ULONG disposition, ULONG options, LONG& status) {
    static const auto create = reinterpret_cast<NtCreateFileFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateFile")));
    UNICODE_STRING text{};
    text.Length = text.MaximumLength = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    text.Buffer = const_cast<wchar_t*>(name);
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = parent;
    object.ObjectName = &text;
    object.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    status = create(&h, access | SYNCHRONIZE, &object, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) return nullptr;
    return Proven(h);
}

void FileIndex(HANDLE h) {
    static const auto query = reinterpret_cast<NtQueryInformationFileFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    query(h, &io, &index, sizeof index, static_cast<FILE_INFORMATION_CLASS>(6));
}

void Bare(const std::vector<Profile>& profiles, bool proofs) {
    const char* const levels[] = {"Software", "CABench", "Vendor"};
    for (const Profile& p : profiles) {
        HANDLE folder = nullptr, hive = nullptr, guard = nullptr;
        LONG status = 0;
        if (proofs) {
            folder = ProvenOpen(p.folder, FILE_FLAG_BACKUP_SEMANTICS);
            hive = ProvenOpen(p.hiveFile, 0);
            guard = ChildOpen(folder, L"~bench-guard.tmp", DELETE, FILE_CREATE,
                              FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, status);
        }
        Check(RegLoadKeyA(HKEY_USERS, p.keyName.c_str(), p.hiveFile.c_str()), "load");
        if (proofs) {
            const HANDLE again = CreateFileA(p.hiveFile.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            FILE_STANDARD_INFO standard;
            GetFileInformationByHandleEx(hive, FileStandardInfo, &standard, sizeof standard);
            FileIndex(hive);
            FileIndex(again);
            CloseHandle(again);
            CloseHandle(guard);
            CloseHandle(hive);
        }
        HKEY parent = BareOpen(HKEY_USERS, p.keyName, KEY_ENUMERATE_SUB_KEYS);
        for (const char* level : levels) {
            const HKEY next = BareOpen(parent, level, KEY_ENUMERATE_SUB_KEYS);
            RegCloseKey(parent);
            parent = next;
        }
        const HKEY app = BareOpen(parent, "App", KEY_READ | DELETE);
        RegCloseKey(parent);
        BareDeleteTree(app);
        RegCloseKey(app);
        if (proofs) {
            // The look down to the application's folder: the profile folder,
            // then each name below it; the last one is not there.
            const HANDLE root = ProvenOpen(p.folder, FILE_FLAG_BACKUP_SEMANTICS);
            const HANDLE appData = ChildOpen(root, L"AppData", 0, FILE_OPEN, FILE_DIRECTORY_FILE, status);
            const HANDLE app =
                appData ? ChildOpen(appData, L"CABenchApp", 0, FILE_OPEN, FILE_DIRECTORY_FILE, status) : nullptr;
            if (app) CloseHandle(app);
            if (appData) CloseHandle(appData);
            CloseHandle(root);
            CloseHandle(folder);
        }
        Check(RegUnLoadKeyA(HKEY_USERS, p.keyName.c_str()), "unload");
    }
}

void Fastest(const std::vector<Profile>& profiles, const std::vector<std::string>& keys) {
    for (const Profile& p : profiles) {
        Check(RegLoadKeyA(HKEY_USERS, p.keyName.c_str(), p.hiveFile.c_str()), "load");
        const std::string base = p.keyName + "\\" + kVendor;
        for (const std::string& key : keys) Check(RegDeleteKeyA(HKEY_USERS, (base + key).c_str()), "delete");
        Check(RegUnLoadKeyA(HKEY_USERS, p.keyName.c_str()), "unload");
    }
}

UINT WINAPI BenchCustomActionData(MSIHANDLE, LPCSTR, LPSTR value, LPDWORD size) {
    const DWORD length = static_cast<DWORD>(std::strlen(g_items));
    if (*size <= length) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    std::memcpy(value, g_items, length + 1);
    *size = length;
    return ERROR_SUCCESS;
}

// The machine is shared: the fastest round of each variant is the one least
// disturbed by other work.
double Best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const std::vector<std::string> keys = TreeKeys();
    const std::vector<Profile> profiles = CreateProfiles(count);
    ca::PlatformOverride input(&ca::Platform::MsiGetPropertyA, &BenchCustomActionData);

    std::vector<double> ours, bare, registry, fastest, kept, rollback, unflushed;
    for (int round = 0; round < rounds; ++round) {
        // Each variant starts from freshly written hives; the order rotates.
        for (int step = 0; step < 7; ++step) {
            WriteHives(profiles);
            switch ((round + step) % 7) {
            case 6: {
                g_items = kKeptItems;
                ca::PlatformOverride noFlush(&ca::Platform::FlushFileBuffers, [](HANDLE) -> BOOL { return TRUE; });
                unflushed.push_back(Timed([&] {
                    DelMultiUserData(1);
                    DelMultiUserDataCommit(1);
                }));
                g_items = kItems;
                break;
            }
            case 4:
                g_items = kKeptItems;
                kept.push_back(Timed([&] {
                    DelMultiUserData(1);
                    DelMultiUserDataCommit(1);
                }));
                g_items = kItems;
                break;
            case 5:
                g_items = kKeptItems;
                DelMultiUserData(1);
                rollback.push_back(Timed([&] { DelMultiUserDataRollback(1); }));
                g_items = kItems;
                break;
            case 0:
                ours.push_back(Timed([&] { DelMultiUserData(1); }));
                break;
            case 1:
                SetPrivilege(SE_RESTORE_NAME, true);
                bare.push_back(Timed([&] { Bare(profiles, true); }));
                SetPrivilege(SE_RESTORE_NAME, false);
                break;
            case 3:
                SetPrivilege(SE_RESTORE_NAME, true);
                registry.push_back(Timed([&] { Bare(profiles, false); }));
                SetPrivilege(SE_RESTORE_NAME, false);
                break;
            case 2:
                SetPrivilege(SE_RESTORE_NAME, true);
                fastest.push_back(Timed([&] { Fastest(profiles, keys); }));
                SetPrivilege(SE_RESTORE_NAME, false);
                break;
            }
        }
    }
    RemoveProfiles(profiles);
    if (g_failures != 0) {
        std::fprintf(stderr, "%d registry calls of the comparison failed\n", g_failures);
        return 1;
    }

    const double o = Best(ours), b = Best(bare), r = Best(registry), f = Best(fastest), k = Best(kept),
                 u = Best(rollback), n = Best(unflushed);
    std::printf("DelMultiUserData: %d profiles not logged on, %zu keys each, best of %d rounds\n", count,
                keys.size(), rounds);
    std::printf("%-34s %10s %12s\n", "variant", "ms", "ms/profile");
    std::printf("%-34s %10.1f %12.3f\n", "ours (DelMultiUserData)", o, o / count);
    std::printf("%-34s %10.1f %12.3f\n", "bare loop of the same calls", b, b / count);
    std::printf("%-34s %10.1f %12.3f\n", "its registry calls alone", r, r / count);
    std::printf("%-34s %10.1f %12.3f\n", "fastest removal (known names)", f, f / count);
    std::printf("%-34s %10.1f %12.3f\n", "with the switch: forward + commit", k, k / count);
    std::printf("%-34s %10.1f %12.3f\n", "the same, records not flushed", n, n / count);
    std::printf("%-34s %10.1f %12.3f\n", "rollback (trees found in place)", u, u / count);
    std::printf("%-34s %10.2f %12s\n", "ratio ours / bare loop", o / b, "goal <= 1.20");
    std::printf("%-34s %10.2f %12s\n", "ratio forward + commit / bare", k / b, "goal <= 1.20");
    std::printf("%-34s %10.2f %12s\n", "ratio ours / fastest", o / f, "information");
    // The same figures for the benchmark report (scripts/bench.sh).
    std::printf("BENCH\tDelMultiUserData, %d profiles not logged on, vs bare loop\t%.1f ms\t%.1f ms\t%.2fx\t<= 1.20x\t%s\n",
                count, o, b, o / b, o / b <= 1.20 ? "met" : "missed");
    std::printf("BENCH\tDelMultiUserData with the switch, forward + commit, vs bare loop\t%.1f ms\t%.1f ms\t%.2fx\t<= 1.20x\t%s\n",
                k, b, k / b, k / b <= 1.20 ? "met" : "missed");
    std::printf("BENCH\tDelMultiUserData with the switch, records not flushed, vs bare loop\t%.1f ms\t%.1f ms\t%.2fx\t(information)\t-\n",
                n, b, n / b);
    std::printf("BENCH\tDelMultiUserDataRollback after it (trees found in place) vs bare loop\t%.1f ms\t%.1f ms\t%.2fx\t(information)\t-\n",
                u, b, u / b);
    std::printf("BENCH\tDelMultiUserData vs the registry calls alone (no place proofs)\t%.1f ms\t%.1f ms\t%.2fx\t(information)\t-\n",
                o, r, o / r);
    std::printf("BENCH\tDelMultiUserData vs load, delete by known names, unload\t%.1f ms\t%.1f ms\t%.2fx\t(information)\t-\n",
                o, f, o / f);
    return o / b <= 1.20 ? 0 : 2;
}
