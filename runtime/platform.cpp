#include "runtime/platform.h"

namespace ca {

Platform& Os() {
    static Platform table;
    return table;
}

LSTATUS WINAPI RenameKeyWhereAvailable(HKEY key, LPCWSTR subKey, LPCWSTR newName) {
    using Rename = LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
    static const Rename rename = [] {
        const HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
        return advapi ? reinterpret_cast<Rename>(reinterpret_cast<void*>(::GetProcAddress(advapi, "RegRenameKey")))
                      : nullptr;
    }();
    return rename ? rename(key, subKey, newName) : ERROR_CALL_NOT_IMPLEMENTED;
}

LSTATUS WINAPI DeleteTreeWhereAvailable(HKEY key, LPCWSTR subKey) {
    using DeleteTree = LSTATUS(WINAPI*)(HKEY, LPCWSTR);
    static const DeleteTree deleteTree = [] {
        const HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
        return advapi ? reinterpret_cast<DeleteTree>(
                            reinterpret_cast<void*>(::GetProcAddress(advapi, "RegDeleteTreeW")))
                      : nullptr;
    }();
    return deleteTree ? deleteTree(key, subKey) : ERROR_CALL_NOT_IMPLEMENTED;
}

LSTATUS WINAPI DeleteOpenKeyWhereAvailable(HKEY key) {
    using DeleteKey = LONG(WINAPI*)(HANDLE);
    using ToWin32 = ULONG(WINAPI*)(LONG);
    static const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    static const DeleteKey deleteKey =
        ntdll ? reinterpret_cast<DeleteKey>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtDeleteKey"))) : nullptr;
    static const ToWin32 toWin32 =
        ntdll ? reinterpret_cast<ToWin32>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")))
              : nullptr;
    if (deleteKey == nullptr || toWin32 == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    const LONG status = deleteKey(key);
    return status >= 0 ? ERROR_SUCCESS : static_cast<LSTATUS>(toWin32(status));
}

namespace {

// An entry point of kernel32.dll, or null where this system has none.
template <typename F>
F Kernel32Function(const char* name) {
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(kernel, name))) : nullptr;
}

}  // namespace

DWORD WINAPI FinalPathWhereAvailable(HANDLE file, LPSTR path, DWORD size, DWORD flags) {
    using Fn = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
    static const Fn function = Kernel32Function<Fn>("GetFinalPathNameByHandleA");
    if (function) return function(file, path, size, flags);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL WINAPI SetFileInfoWhereAvailable(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    using Fn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    static const Fn function = Kernel32Function<Fn>("SetFileInformationByHandle");
    if (function) return function(file, type, info, size);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI GetFileInfoWhereAvailable(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    using Fn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    static const Fn function = Kernel32Function<Fn>("GetFileInformationByHandleEx");
    if (function) return function(file, type, info, size);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD WINAPI TempPath2WhereAvailable(DWORD size, LPWSTR path) {
    using Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
    static const Fn function = Kernel32Function<Fn>("GetTempPath2W");
    if (function) return function(size, path);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

namespace {

template <typename F>
F Advapi32Function(const char* name) {
    const HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    return advapi ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(advapi, name))) : nullptr;
}

template <typename F>
F NtdllFunction(const char* name) {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
}

}  // namespace

DWORD WINAPI SecurityInfoWhereAvailable(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    using Fn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                              PSECURITY_DESCRIPTOR*);
    static const Fn function = Advapi32Function<Fn>("GetSecurityInfo");
    return function ? function(handle, type, info, owner, group, dacl, sacl, descriptor) : ERROR_CALL_NOT_IMPLEMENTED;
}

BOOL WINAPI DescriptorToTextWhereAvailable(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                           SECURITY_INFORMATION info, LPSTR* text, PULONG size) {
    using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPSTR*, PULONG);
    static const Fn function = Advapi32Function<Fn>("ConvertSecurityDescriptorToStringSecurityDescriptorA");
    if (function) return function(descriptor, revision, info, text, size);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD WINAPI SetSecurityInfoWhereAvailable(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                           PSID group, PACL dacl, PACL sacl) {
    using Fn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);
    static const Fn function = Advapi32Function<Fn>("SetSecurityInfo");
    return function ? function(handle, type, info, owner, group, dacl, sacl) : ERROR_CALL_NOT_IMPLEMENTED;
}

BOOL WINAPI DescriptorFromTextWhereAvailable(LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
                                             PULONG size) {
    using Fn = BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    static const Fn function = Advapi32Function<Fn>("ConvertStringSecurityDescriptorToSecurityDescriptorA");
    if (function) return function(text, revision, descriptor, size);
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

NTSTATUS NTAPI NtCreateFileWhereAvailable(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                          PIO_STATUS_BLOCK status, PLARGE_INTEGER allocation, ULONG attributes,
                                          ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    using Fn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                ULONG, ULONG, ULONG, PVOID, ULONG);
    static const Fn function = NtdllFunction<Fn>("NtCreateFile");
    if (function) return function(file, access, object, status, allocation, attributes, share, disposition, options,
                                  ea, eaLength);
    return static_cast<NTSTATUS>(0xC0000002L);  // STATUS_NOT_IMPLEMENTED
}

NTSTATUS NTAPI NtQueryInformationFileWhereAvailable(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                                                    FILE_INFORMATION_CLASS type) {
    using Fn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
    static const Fn function = NtdllFunction<Fn>("NtQueryInformationFile");
    if (function) return function(file, status, info, length, type);
    return static_cast<NTSTATUS>(0xC0000002L);  // STATUS_NOT_IMPLEMENTED
}

NTSTATUS NTAPI NtSetInformationFileWhereAvailable(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                                                  FILE_INFORMATION_CLASS type) {
    using Fn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
    static const Fn function = NtdllFunction<Fn>("NtSetInformationFile");
    if (function) return function(file, status, info, length, type);
    return static_cast<NTSTATUS>(0xC0000002L);  // STATUS_NOT_IMPLEMENTED
}

ULONG NTAPI NtStatusToErrorWhereAvailable(NTSTATUS status) {
    using Fn = ULONG(NTAPI*)(NTSTATUS);
    static const Fn function = NtdllFunction<Fn>("RtlNtStatusToDosError");
    return function ? function(status) : ERROR_CALL_NOT_IMPLEMENTED;
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    // The address of this function lies in the module that linked it.
    Os().GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

}  // namespace ca
