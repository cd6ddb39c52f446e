// The module's one door to the operating system and the installer.
//
// Every Windows and installer call the module makes goes through the table
// returned by Os(). Each entry is named like the function it stands for and
// defaults to that function, so product code reads as ordinary Win32 code:
//
//     Os().RegOpenKeyExA(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", 0,
//                        KEY_QUERY_VALUE, &key);
//
// Tests replace one entry for a scope with PlatformOverride to provoke what the
// real system will not produce on demand (a failed allocation, a denied mutex,
// an exception) or to observe the arguments of a call.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <winternl.h>

#include <cstdlib>
#include <type_traits>

namespace ca {

#define CA_ENTRY(fn) decltype(&::fn) fn = &::fn

// Renames a key: the system's RegRenameKey, looked up in advapi32.dll when
// first called (it is not there before Windows Vista); without it the answer
// is ERROR_CALL_NOT_IMPLEMENTED.
LSTATUS WINAPI RenameKeyWhereAvailable(HKEY key, LPCWSTR subKey, LPCWSTR newName);

// Deletes a key with everything below it: the system's RegDeleteTreeW, looked
// up in advapi32.dll when first called (it is not there before Windows
// Vista); without it the answer is ERROR_CALL_NOT_IMPLEMENTED.
LSTATUS WINAPI DeleteTreeWhereAvailable(HKEY key, LPCWSTR subKey);

// Deletes the key a handle is open on, whatever name leads to it (a link key
// opened as itself included): ntdll.dll's NtDeleteKey, looked up when first
// called; its status as a system error code, ERROR_CALL_NOT_IMPLEMENTED
// without it.
LSTATUS WINAPI DeleteOpenKeyWhereAvailable(HKEY key);

// The file functions that came with Windows Vista, looked up in kernel32.dll
// when first called; without them the answer is failure with
// ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI FinalPathWhereAvailable(HANDLE file, LPSTR path, DWORD size, DWORD flags);
BOOL WINAPI SetFileInfoWhereAvailable(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size);

// The system's temporary folder for LocalSystem, looked up in kernel32.dll
// when first called (recent systems only); the access-list functions of the
// protected folders, looked up in advapi32.dll when first called, as the
// module imports none of them. Without them the answer is failure with
// ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI TempPath2WhereAvailable(DWORD size, LPWSTR path);
DWORD WINAPI SecurityInfoWhereAvailable(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL WINAPI DescriptorFromTextWhereAvailable(LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
                                             PULONG size);
// The undo of the rights actions: the access list kept as text, and written
// back through a held handle.
BOOL WINAPI DescriptorToTextWhereAvailable(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                           SECURITY_INFORMATION info, LPSTR* text, PULONG size);
DWORD WINAPI SetSecurityInfoWhereAvailable(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                           PSID group, PACL dacl, PACL sacl);
// The native file functions, looked up in ntdll.dll when first called;
// without them the create answers STATUS_NOT_IMPLEMENTED and the translation
// ERROR_CALL_NOT_IMPLEMENTED.
NTSTATUS NTAPI NtCreateFileWhereAvailable(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                          PIO_STATUS_BLOCK status, PLARGE_INTEGER allocation, ULONG attributes,
                                          ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG eaLength);
ULONG NTAPI NtStatusToErrorWhereAvailable(NTSTATUS status);
NTSTATUS NTAPI NtSetInformationFileWhereAvailable(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                                                  FILE_INFORMATION_CLASS type);
// The by-handle queries that ask nothing of the volume (kernel32.dll from
// Windows Vista on, ntdll.dll); without them the answer is failure with
// ERROR_CALL_NOT_IMPLEMENTED, or STATUS_NOT_IMPLEMENTED.
BOOL WINAPI GetFileInfoWhereAvailable(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size);
NTSTATUS NTAPI NtQueryInformationFileWhereAvailable(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                                                    FILE_INFORMATION_CLASS type);

struct Platform {
    // Windows Installer (msi.dll, imported by ordinal).
    CA_ENTRY(MsiGetPropertyA);
    CA_ENTRY(MsiSetPropertyA);
    CA_ENTRY(MsiCreateRecord);
    CA_ENTRY(MsiRecordSetStringA);
    CA_ENTRY(MsiProcessMessage);
    CA_ENTRY(MsiCloseHandle);

    // Registry.
    CA_ENTRY(RegOpenKeyExA);
    CA_ENTRY(RegCreateKeyExA);
    CA_ENTRY(RegQueryValueExA);
    CA_ENTRY(RegSetValueExA);
    CA_ENTRY(RegEnumKeyExA);
    CA_ENTRY(RegEnumValueA);
    CA_ENTRY(RegQueryInfoKeyA);
    CA_ENTRY(RegDeleteKeyA);
    CA_ENTRY(RegDeleteValueA);
    CA_ENTRY(RegCloseKey);
    CA_ENTRY(RegLoadKeyA);
    CA_ENTRY(RegUnLoadKeyA);
    LSTATUS(WINAPI* RegRenameKey)(HKEY, LPCWSTR, LPCWSTR) = &RenameKeyWhereAvailable;
    // Wide forms, which reach keys whose names the ANSI code page cannot
    // express, and the whole-tree deletion where the system has it.
    CA_ENTRY(RegOpenKeyExW);
    CA_ENTRY(RegEnumKeyExW);
    CA_ENTRY(RegQueryInfoKeyW);
    CA_ENTRY(RegDeleteKeyW);
    LSTATUS(WINAPI* RegDeleteTreeW)(HKEY, LPCWSTR) = &DeleteTreeWhereAvailable;
    LSTATUS(WINAPI* DeleteOpenKey)(HKEY) = &DeleteOpenKeyWhereAvailable;
    // A key's owner and access list: the options import carries the previous
    // settings key's over to the key that replaces it.
    CA_ENTRY(RegGetKeySecurity);
    CA_ENTRY(RegSetKeySecurity);

    // Security. The ACL functions are looked up by name at run time by the
    // actions that use them; these entries serve the lookups' callers.
    CA_ENTRY(OpenProcessToken);
    CA_ENTRY(GetCurrentProcess);
    CA_ENTRY(LookupPrivilegeValueA);
    CA_ENTRY(AdjustTokenPrivileges);
    CA_ENTRY(FreeSid);
    // The account the calling thread acts as (its impersonation token, else
    // the process's), and the folders only SYSTEM and Administrators can
    // change (runtime/protected_folder.h): where kwinst.log goes when the
    // action runs as LocalSystem.
    CA_ENTRY(GetCurrentThread);
    CA_ENTRY(OpenThreadToken);
    CA_ENTRY(GetTokenInformation);
    CA_ENTRY(IsWellKnownSid);
    CA_ENTRY(GetSystemWindowsDirectoryA);
    DWORD(WINAPI* GetTempPath2W)(DWORD, LPWSTR) = &TempPath2WhereAvailable;
    decltype(&::GetSecurityInfo) GetSecurityInfo = &SecurityInfoWhereAvailable;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorA)
        ConvertStringSecurityDescriptorToSecurityDescriptorA = &DescriptorFromTextWhereAvailable;
    decltype(&::ConvertSecurityDescriptorToStringSecurityDescriptorA)
        ConvertSecurityDescriptorToStringSecurityDescriptorA = &DescriptorToTextWhereAvailable;
    decltype(&::SetSecurityInfo) SetSecurityInfo = &SetSecurityInfoWhereAvailable;

    // Files and folders.
    CA_ENTRY(CreateFileA);
    CA_ENTRY(ReadFile);
    CA_ENTRY(WriteFile);
    CA_ENTRY(SetFilePointerEx);
    CA_ENTRY(SetEndOfFile);
    CA_ENTRY(GetFileSizeEx);
    CA_ENTRY(FlushFileBuffers);
    CA_ENTRY(CopyFileA);
    CA_ENTRY(DeleteFileA);
    CA_ENTRY(CreateDirectoryA);
    CA_ENTRY(RemoveDirectoryA);
    CA_ENTRY(FindFirstFileA);
    CA_ENTRY(FindNextFileA);
    CA_ENTRY(FindClose);
    CA_ENTRY(GetFileAttributesA);
    CA_ENTRY(SetFileAttributesA);
    CA_ENTRY(LockFileEx);
    CA_ENTRY(UnlockFileEx);
    CA_ENTRY(GetTempPathA);
    // Folders a user controls are changed only through handles whose place
    // has been proven (actions/users/folder.h).
    CA_ENTRY(GetFileInformationByHandle);
    CA_ENTRY(GetFullPathNameA);
    CA_ENTRY(GetLongPathNameA);
    DWORD(WINAPI* GetFinalPathNameByHandleA)(HANDLE, LPSTR, DWORD, DWORD) = &FinalPathWhereAvailable;
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) =
        &SetFileInfoWhereAvailable;
    // What the proofs read of an open object (runtime/file_facts.h):
    // GetFileInformationByHandle also asks for the volume's serial number,
    // a round trip to its driver that these spare.
    BOOL(WINAPI* GetFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) =
        &GetFileInfoWhereAvailable;
    NTSTATUS(NTAPI* NtQueryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS) =
        &NtQueryInformationFileWhereAvailable;
    // Creating and opening by a single name relative to a held folder
    // handle (the object attributes' root directory), so that what is made
    // lands in the folder that was proven, whatever its path names by then.
    NTSTATUS(NTAPI* NtCreateFile)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                  ULONG, ULONG, ULONG, PVOID, ULONG) = &NtCreateFileWhereAvailable;
    ULONG(NTAPI* RtlNtStatusToDosError)(NTSTATUS) = &NtStatusToErrorWhereAvailable;
    // Moving an open object to a single name relative to a held folder
    // handle (the rename information's root directory): the backups of the
    // undo store go in and out by handle.
    NTSTATUS(NTAPI* NtSetInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS) =
        &NtSetInformationFileWhereAvailable;

    // System, handles, modules.
    CA_ENTRY(GetVersionExA);
    CA_ENTRY(ExpandEnvironmentStringsA);
    CA_ENTRY(CreateMutexA);
    CA_ENTRY(CloseHandle);
    CA_ENTRY(LoadLibraryA);
    CA_ENTRY(GetProcAddress);
    CA_ENTRY(FreeLibrary);
    CA_ENTRY(GetModuleHandleA);
    CA_ENTRY(GetModuleHandleExA);
    CA_ENTRY(LoadStringW);
    CA_ENTRY(GetLastError);
    CA_ENTRY(SetLastError);

    // Time.
    CA_ENTRY(GetLocalTime);
    CA_ENTRY(GetSystemTimeAsFileTime);
    CA_ENTRY(FileTimeToLocalFileTime);
    CA_ENTRY(FileTimeToSystemTime);
    CA_ENTRY(GetTimeZoneInformation);
    CA_ENTRY(GetTickCount);
    CA_ENTRY(Sleep);
    CA_ENTRY(GetDateFormatA);
    CA_ENTRY(GetTimeFormatA);

    // Text.
    CA_ENTRY(FormatMessageA);
    CA_ENTRY(LocalFree);
    CA_ENTRY(MultiByteToWideChar);
    CA_ENTRY(WideCharToMultiByte);
    CA_ENTRY(IsDBCSLeadByte);

    // Locks.
    CA_ENTRY(InitializeCriticalSection);
    CA_ENTRY(DeleteCriticalSection);
    CA_ENTRY(EnterCriticalSection);
    CA_ENTRY(LeaveCriticalSection);

    // Windows and timers.
    CA_ENTRY(FindWindowA);
    CA_ENTRY(IsWindow);
    CA_ENTRY(KillTimer);
    CA_ENTRY(DestroyWindow);

    // Memory for buffers whose allocation failure is a reported failure site.
    void* (*malloc)(size_t) = &std::malloc;
    void (*free)(void*) = &std::free;
};

#undef CA_ENTRY

// The table in force for the whole module.
Platform& Os();

namespace detail {

// An entry of the table called through a stateless lambda. A lambda converts
// to a pointer of the default calling convention only, which on i686 is not
// the WINAPI (stdcall) of the system's functions; this function of the
// entry's own convention calls it.
template <typename F>
struct LambdaEntry;

template <typename R, typename... A>
struct LambdaEntry<R(WINAPI*)(A...)> {
    template <typename L>
    static R WINAPI Call(A... args) {
        return L{}(args...);
    }
};

}  // namespace detail

// Replaces one entry of the table until the end of the scope, with a
// function of the entry's type or a lambda without captures.
template <typename F>
class PlatformOverride {
public:
    PlatformOverride(F Platform::*slot, std::type_identity_t<F> replacement)
        : slot_(slot), saved_(Os().*slot) {
        Os().*slot_ = replacement;
    }
    template <typename L>
        requires(!std::is_convertible_v<L, F> && std::is_empty_v<L> && std::is_default_constructible_v<L>)
    PlatformOverride(F Platform::*slot, L)
        : PlatformOverride(slot, &detail::LambdaEntry<F>::template Call<L>) {}
    ~PlatformOverride() { Os().*slot_ = saved_; }
    PlatformOverride(const PlatformOverride&) = delete;
    PlatformOverride& operator=(const PlatformOverride&) = delete;

private:
    F Platform::*slot_;
    F saved_;
};

template <typename F>
PlatformOverride(F Platform::*, std::type_identity_t<F>) -> PlatformOverride<F>;

// The module this code is linked into (the DLL, or a test executable).
HMODULE ThisModule();

}  // namespace ca
