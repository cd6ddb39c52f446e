#include "fault_sweep.h"

#include <cstring>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace ca::test {

namespace {

// How a function reports failure.
enum class Kind {
    Status,   // returns the error code itself (registry and installer calls)
    Zero,     // returns 0 / FALSE / null and sets the last error
    Invalid,  // returns INVALID_HANDLE_VALUE / INVALID_FILE_ATTRIBUTES and sets the last error
    Release,  // releases for real, then reports failure
};

struct EntryFault {
    const char* name;
    Kind kind;
    int32_t code;      // the error injected
    int32_t reported;  // the code a failure record then carries
    bool silent;       // the module leaves such a failure unreported by design
};

struct State {
    bool recording = true;
    size_t target = 0;
    size_t counter = 0;
    std::vector<std::string> calls;
    bool injected = false;
    InjectedFault fault;
    // Between the installer log's open and its close: the log writer's own
    // calls, whose failures only drop a record.
    bool inLog = false;
    HANDLE logHandle = INVALID_HANDLE_VALUE;
    Platform saved;
    // The registry calls of the run: all of them, and those that may throw.
    size_t registryCalls = 0;
    size_t throwingCalls = 0;
    bool acting = false;
    FaultAction action = FaultAction::Exit;
    size_t actTarget = 0;
    // The calls that change the machine or write a journal, and whether the
    // run ends at one of those rather than at a registry call.
    size_t changingCalls = 0;
    bool actOnChanges = false;
    std::set<std::string> endEntries;  // EndAtCallOf: the calls counted, the one to end at
    size_t endCalls = 0, endTarget = 0;
};

// The calls by which an action changes the machine or writes its journal:
// ending a run at each of them ends it at each of its steps.
bool IsChangingCall(const char* name) {
    static const char* const kChanging[] = {"WriteFile", "FlushFileBuffers", "SetEndOfFile", "NtSetInformationFile",
                                            "SetFileInformationByHandle", "SetSecurityInfo", "CreateDirectoryA",
                                            "SetFileAttributesA", "CopyFileA", "DeleteFileA", "RemoveDirectoryA",
                                            "DeleteOpenKey"};
    if (std::strncmp(name, "Reg", 3) == 0) return true;
    for (const char* changing : kChanging)
        if (std::strcmp(name, changing) == 0) return true;
    return false;
}

State& S() {
    static State state;
    return state;
}

// Counts a call; true when it is the one to fail. A run that acts instead
// throws or ends the process here.
bool Turn(const EntryFault& entry) {
    const size_t position = S().counter++;
    S().calls.push_back(entry.name);
    if (S().endEntries.count(entry.name) && S().endCalls++ == S().endTarget) ::ExitProcess(kKilledExitCode);
    if (IsChangingCall(entry.name)) {
        const size_t changing = S().changingCalls++;
        if (S().acting && S().actOnChanges && changing == S().actTarget) ::ExitProcess(kKilledExitCode);
    }
    if (std::strncmp(entry.name, "Reg", 3) == 0 && !S().actOnChanges) {
        const size_t all = S().registryCalls++;
        const bool mayThrow = entry.kind != Kind::Release;
        const size_t throwing = mayThrow ? S().throwingCalls++ : 0;
        if (S().acting && !S().injected) {
            const bool exit = S().action == FaultAction::Exit;
            if (exit && all == S().actTarget) {
                ::ExitProcess(kKilledExitCode);
            } else if (!exit && mayThrow && throwing == S().actTarget) {
                S().injected = true;
                S().fault = {position, entry.name, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, false};
                throw std::bad_alloc();
            }
        }
    }
    if (S().recording || S().injected || position != S().target) return false;
    S().injected = true;
    S().fault = {position, entry.name, entry.code, entry.reported, entry.silent || S().inLog};
    return true;
}

template <typename R>
R Failed(const EntryFault& entry) {
    if constexpr (!std::is_pointer_v<R>) {
        if (entry.kind == Kind::Status) return static_cast<R>(entry.code);
    }
    ::SetLastError(static_cast<DWORD>(entry.code));
    if (entry.kind == Kind::Invalid) {
        if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(static_cast<intptr_t>(-1));
        else return static_cast<R>(-1);
    }
    return R{};
}

template <auto Slot, typename F, typename R, typename... A>
struct HookBody {
    static inline F next = nullptr;
    static inline const EntryFault* entry = nullptr;

    static R Body(A... args) {
        if (!Turn(*entry)) return next(args...);
        if (entry->kind != Kind::Release) return Failed<R>(*entry);
        next(args...);
        if constexpr (std::is_pointer_v<R> && sizeof...(A) == 1) {
            // FreeSid and LocalFree hand back what they could not free.
            return reinterpret_cast<R>(const_cast<void*>(
                reinterpret_cast<const void*>(std::get<0>(std::tuple<A...>(args...)))));
        } else if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else if constexpr (std::is_same_v<R, LSTATUS>) {
            return static_cast<R>(entry->code);
        } else {
            ::SetLastError(static_cast<DWORD>(entry->code));
            return R{};
        }
    }
};

// The hook has the calling convention of the entry it replaces: on i686 the
// system's functions are stdcall (WINAPI) and the C library's cdecl; on
// x86_64 there is one convention.
template <auto Slot, typename F>
struct Hook;

template <auto Slot, typename R, typename... A>
struct Hook<Slot, R (*)(A...)> : HookBody<Slot, R (*)(A...), R, A...> {
    static R Call(A... args) { return Hook::Body(args...); }
};

#ifndef _WIN64
template <auto Slot, typename R, typename... A>
struct Hook<Slot, R(WINAPI*)(A...)> : HookBody<Slot, R(WINAPI*)(A...), R, A...> {
    static R WINAPI Call(A... args) { return Hook::Body(args...); }
};
#endif

// The entries whose failure the module can see (the two path normalisations
// are fallbacks: the place check then compares the path as given). Left out: calls that cannot
// fail or whose "failure" is an ordinary answer (GetLastError, the clock,
// Sleep, critical sections, free, FindWindowA finding nothing, the module's
// own handle), and the trace protocol's window and timer calls.
#define CA_FAULT_ENTRIES(X)                                              \
    X(MsiGetPropertyA, Status, ERROR_INVALID_HANDLE, 6, false)           \
    X(MsiSetPropertyA, Status, ERROR_INVALID_HANDLE, 6, true)            \
    X(MsiCreateRecord, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, true)           \
    X(MsiRecordSetStringA, Status, ERROR_INVALID_HANDLE, 6, true)        \
    X(MsiProcessMessage, Invalid, ERROR_INVALID_HANDLE, 6, true)         \
    X(MsiCloseHandle, Release, ERROR_INVALID_HANDLE, 6, true)            \
    X(RegOpenKeyExA, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegCreateKeyExA, Status, ERROR_ACCESS_DENIED, 5, false)            \
    X(RegQueryValueExA, Status, ERROR_MORE_DATA, 234, false)             \
    X(RegSetValueExA, Status, ERROR_ACCESS_DENIED, 5, false)             \
    X(RegEnumKeyExA, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegEnumValueA, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegQueryInfoKeyA, Status, ERROR_ACCESS_DENIED, 5, false)           \
    X(RegDeleteKeyA, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegDeleteValueA, Status, ERROR_ACCESS_DENIED, 5, false)            \
    X(RegCloseKey, Release, ERROR_INVALID_HANDLE, 6, true)               \
    X(RegLoadKeyA, Status, ERROR_PRIVILEGE_NOT_HELD, 1314, false)        \
    X(RegUnLoadKeyA, Release, ERROR_ACCESS_DENIED, 5, false)             \
    X(RegRenameKey, Status, ERROR_ACCESS_DENIED, 5, false)               \
    X(RegOpenKeyExW, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegEnumKeyExW, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegQueryInfoKeyW, Status, ERROR_ACCESS_DENIED, 5, false)           \
    X(RegDeleteKeyW, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegDeleteTreeW, Status, ERROR_ACCESS_DENIED, 5, false)             \
    X(DeleteOpenKey, Status, ERROR_ACCESS_DENIED, 5, false)              \
    X(RegGetKeySecurity, Status, ERROR_ACCESS_DENIED, 5, false)          \
    X(RegSetKeySecurity, Status, ERROR_ACCESS_DENIED, 5, false)          \
    X(OpenProcessToken, Zero, ERROR_ACCESS_DENIED, 5, false)             \
    X(LookupPrivilegeValueA, Zero, ERROR_NO_SUCH_PRIVILEGE, 1313, false) \
    X(FreeSid, Release, ERROR_INVALID_SID, 1337, true)                   \
    X(ReadFile, Zero, ERROR_LOCK_VIOLATION, 33, false)                   \
    X(WriteFile, Zero, ERROR_DISK_FULL, 112, false)                      \
    X(SetFilePointerEx, Zero, ERROR_INVALID_PARAMETER, 87, false)        \
    X(SetEndOfFile, Zero, ERROR_DISK_FULL, 112, false)                   \
    X(GetFileSizeEx, Zero, ERROR_INVALID_HANDLE, 6, false)               \
    X(FlushFileBuffers, Zero, ERROR_DISK_FULL, 112, false)               \
    X(CopyFileA, Zero, ERROR_ACCESS_DENIED, 5, false)                    \
    X(DeleteFileA, Zero, ERROR_ACCESS_DENIED, 5, true)                   \
    X(CreateDirectoryA, Zero, ERROR_ACCESS_DENIED, 5, false)             \
    X(RemoveDirectoryA, Zero, ERROR_DIR_NOT_EMPTY, 145, true)            \
    X(FindFirstFileA, Invalid, ERROR_ACCESS_DENIED, 5, true)             \
    X(FindNextFileA, Zero, ERROR_NO_MORE_FILES, 18, true)                \
    X(FindClose, Release, ERROR_INVALID_HANDLE, 6, true)                 \
    X(GetFileAttributesA, Invalid, ERROR_FILE_NOT_FOUND, 2, false)       \
    X(SetFileAttributesA, Zero, ERROR_ACCESS_DENIED, 5, false)           \
    X(LockFileEx, Zero, ERROR_LOCK_VIOLATION, 33, false)                 \
    X(UnlockFileEx, Release, ERROR_NOT_LOCKED, 158, true)                \
    X(GetTempPathA, Zero, ERROR_PATH_NOT_FOUND, 3, true)                 \
    X(GetFileInformationByHandleEx, Zero, ERROR_INVALID_HANDLE, 6, false) \
    X(GetFullPathNameA, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, true)          \
    X(GetLongPathNameA, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, true)          \
    X(GetFinalPathNameByHandleA, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, false) \
    X(SetFileInformationByHandle, Zero, ERROR_ACCESS_DENIED, 5, false)   \
    X(NtSetInformationFile, Status, static_cast<int32_t>(0xC0000022), 5, false) \
    X(SetSecurityInfo, Status, ERROR_ACCESS_DENIED, 5, false)            \
    X(ConvertSecurityDescriptorToStringSecurityDescriptorA, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, false) \
    X(GetVersionExA, Zero, ERROR_INVALID_PARAMETER, 87, false)           \
    X(ExpandEnvironmentStringsA, Zero, ERROR_NOT_ENOUGH_MEMORY, 8, false) \
    X(CreateMutexA, Zero, ERROR_INVALID_HANDLE, 6, false)                \
    X(LoadLibraryA, Zero, ERROR_MOD_NOT_FOUND, 126, false)               \
    X(FreeLibrary, Release, ERROR_INVALID_HANDLE, 6, true)               \
    X(GetModuleHandleA, Zero, ERROR_MOD_NOT_FOUND, 126, false)           \
    X(LoadStringW, Zero, ERROR_RESOURCE_NAME_NOT_FOUND, 1814, true)      \
    X(FileTimeToLocalFileTime, Zero, ERROR_INVALID_PARAMETER, 87, true)  \
    X(FileTimeToSystemTime, Zero, ERROR_INVALID_PARAMETER, 87, true)     \
    X(GetDateFormatA, Zero, ERROR_INVALID_PARAMETER, 87, true)           \
    X(GetTimeFormatA, Zero, ERROR_INVALID_PARAMETER, 87, true)           \
    X(FormatMessageA, Zero, ERROR_MR_MID_NOT_FOUND, 317, true)           \
    X(LocalFree, Release, ERROR_INVALID_HANDLE, 6, true)                 \
    X(MultiByteToWideChar, Zero, ERROR_NO_UNICODE_TRANSLATION, 1113, true) \
    X(WideCharToMultiByte, Zero, ERROR_NO_UNICODE_TRANSLATION, 1113, true) \
    X(malloc, Zero, ERROR_NOT_ENOUGH_MEMORY, 234, false)

#define CA_FAULT_DEFINE(name, kind, code, reported, silent) \
    const EntryFault k##name##Fault{#name, Kind::kind, code, reported, silent};
CA_FAULT_ENTRIES(CA_FAULT_DEFINE)
#undef CA_FAULT_DEFINE

// The log writer's file, the token calls and the time-zone query need more
// than the generic hooks.
const EntryFault kCreateFileFault{"CreateFileA", Kind::Invalid, ERROR_SHARING_VIOLATION, 32, false};
const EntryFault kCloseHandleFault{"CloseHandle", Kind::Release, ERROR_INVALID_HANDLE, 6, true};
const EntryFault kEnablePrivilegeFault{"AdjustTokenPrivileges", Kind::Zero, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kDisablePrivilegeFault{"AdjustTokenPrivileges", Kind::Release, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kTimeZoneFault{"GetTimeZoneInformation", Kind::Zero, ERROR_INVALID_PARAMETER, 87, true};

HANDLE WINAPI FaultCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile) {
    const std::string_view path = name ? name : "";
    const bool log = path.size() >= 10 && _stricmp(name + path.size() - 10, "kwinst.log") == 0;
    if (log) S().inLog = true;
    if (Turn(kCreateFileFault)) {
        if (log) S().inLog = false;
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = S().saved.CreateFileA(name, access, share, security, disposition, flags, templateFile);
    if (log) {
        S().logHandle = h;
        if (h == INVALID_HANDLE_VALUE) S().inLog = false;
    }
    return h;
}

BOOL WINAPI FaultCloseHandle(HANDLE h) {
    const bool fail = Turn(kCloseHandleFault);
    const BOOL ok = S().saved.CloseHandle(h);
    if (S().inLog && h == S().logHandle) {
        S().inLog = false;
        S().logHandle = INVALID_HANDLE_VALUE;
    }
    if (!fail) return ok;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI FaultAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                                       PTOKEN_PRIVILEGES previous, PDWORD returned) {
    const bool enabling =
        !disableAll && state && state->PrivilegeCount > 0 && (state->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
    const EntryFault& entry = enabling ? kEnablePrivilegeFault : kDisablePrivilegeFault;
    if (!Turn(entry)) return S().saved.AdjustTokenPrivileges(token, disableAll, state, length, previous, returned);
    if (!enabling) S().saved.AdjustTokenPrivileges(token, disableAll, state, length, previous, returned);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The security functions are looked up by name; the lookup hands out hooks
// of them, so their calls take part in the sweep like the table's own.
const EntryFault kGetProcAddressFault{"GetProcAddress", Kind::Zero, ERROR_PROC_NOT_FOUND, 127, false};
const EntryFault kAllocateSidFault{"AllocateAndInitializeSid", Kind::Zero, ERROR_NOT_ENOUGH_MEMORY, 8, false};
const EntryFault kGetSecurityFault{"GetSecurityInfo", Kind::Status, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kSetSecurityFault{"SetSecurityInfo", Kind::Status, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kGetNamedSecurityFault{"GetNamedSecurityInfoA", Kind::Status, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kSetNamedSecurityFault{"SetNamedSecurityInfoA", Kind::Status, ERROR_ACCESS_DENIED, 5, false};
const EntryFault kSetEntriesFault{"SetEntriesInAclA", Kind::Status, ERROR_NOT_ENOUGH_MEMORY, 8, false};

// The security functions are WINAPI, as the module calls them.
template <const EntryFault* Entry, typename F>
struct Resolved;

template <const EntryFault* Entry, typename R, typename... A>
struct Resolved<Entry, R(WINAPI*)(A...)> {
    static inline R(WINAPI* real)(A...) = nullptr;
    static R WINAPI Call(A... args) {
        if (Turn(*Entry)) return Failed<R>(*Entry);
        return real(args...);
    }
    static FARPROC Hand(FARPROC address) {
        real = reinterpret_cast<R(WINAPI*)(A...)>(reinterpret_cast<void*>(address));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Call));
    }
};

FARPROC WINAPI FaultGetProcAddress(HMODULE module, LPCSTR name) {
    if (Turn(kGetProcAddressFault)) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const FARPROC address = S().saved.GetProcAddress(module, name);
    if (address == nullptr || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) return address;
    const std::string_view n = name;
    if (n == "AllocateAndInitializeSid")
        return Resolved<&kAllocateSidFault, decltype(&::AllocateAndInitializeSid)>::Hand(address);
    if (n == "GetSecurityInfo") return Resolved<&kGetSecurityFault, decltype(&::GetSecurityInfo)>::Hand(address);
    if (n == "SetSecurityInfo") return Resolved<&kSetSecurityFault, decltype(&::SetSecurityInfo)>::Hand(address);
    if (n == "GetNamedSecurityInfoA")
        return Resolved<&kGetNamedSecurityFault, decltype(&::GetNamedSecurityInfoA)>::Hand(address);
    if (n == "SetNamedSecurityInfoA")
        return Resolved<&kSetNamedSecurityFault, decltype(&::SetNamedSecurityInfoA)>::Hand(address);
    if (n == "SetEntriesInAclA") return Resolved<&kSetEntriesFault, decltype(&::SetEntriesInAclA)>::Hand(address);
    return address;
}

DWORD WINAPI FaultGetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) {
    if (Turn(kTimeZoneFault)) return TIME_ZONE_ID_INVALID;
    return S().saved.GetTimeZoneInformation(zone);
}

// The attributes of the system's declarations (a format check on
// FormatMessageA) do not belong to the hook's type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <auto Slot>
using HookOf = Hook<Slot, std::remove_reference_t<decltype(std::declval<Platform&>().*Slot)>>;
#pragma GCC diagnostic pop

void InstallHooks() {
#define CA_FAULT_HOOK(name, kind, code, reported, silent) \
    HookOf<&Platform::name>::next = Os().name;            \
    HookOf<&Platform::name>::entry = &k##name##Fault;      \
    Os().name = &HookOf<&Platform::name>::Call;
    CA_FAULT_ENTRIES(CA_FAULT_HOOK)
#undef CA_FAULT_HOOK
    Os().CreateFileA = &FaultCreateFileA;
    Os().CloseHandle = &FaultCloseHandle;
    Os().AdjustTokenPrivileges = &FaultAdjustTokenPrivileges;
    Os().GetTimeZoneInformation = &FaultGetTimeZoneInformation;
    Os().GetProcAddress = &FaultGetProcAddress;
}

}  // namespace

FaultSweep::FaultSweep() {
    S().saved = Os();
    InstallHooks();
    Record();
}

FaultSweep::~FaultSweep() { Os() = S().saved; }

void FaultSweep::Record() {
    S().recording = true;
    S().acting = false;
    S().registryCalls = 0;
    S().throwingCalls = 0;
    S().changingCalls = 0;
    S().actOnChanges = false;
    S().counter = 0;
    S().calls.clear();
    S().injected = false;
    S().fault = {};
    S().inLog = false;
    S().endEntries.clear();
}

void FaultSweep::FailAt(size_t position) {
    Record();
    S().recording = false;
    S().target = position;
}

void FaultSweep::ActAtRegistryCall(size_t index, FaultAction action) {
    Record();
    S().acting = true;
    S().action = action;
    S().actTarget = index;
}

void FaultSweep::EndAtChangingCall(size_t index) {
    Record();
    S().acting = true;
    S().action = FaultAction::Exit;
    S().actOnChanges = true;
    S().actTarget = index;
}

size_t FaultSweep::ChangingCallCount() const { return S().changingCalls; }

void FaultSweep::EndAtCallOf(const std::set<std::string>& entries, size_t index) {
    Record();
    S().endEntries = entries;
    S().endCalls = 0;
    S().endTarget = index;
}

size_t FaultSweep::RegistryCallCount(FaultAction action) const {
    return action == FaultAction::Exit ? S().registryCalls : S().throwingCalls;
}

const std::vector<std::string>& FaultSweep::Calls() const { return S().calls; }

bool FaultSweep::Injected() const { return S().injected; }

const InjectedFault& FaultSweep::Fault() const { return S().fault; }

}  // namespace ca::test
