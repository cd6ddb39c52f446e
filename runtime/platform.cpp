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

HMODULE ThisModule() {
    HMODULE module = nullptr;
    // The address of this function lies in the module that linked it.
    Os().GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

}  // namespace ca
