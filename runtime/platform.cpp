#include "runtime/platform.h"

namespace ca {

Platform& Os() {
    static Platform table;
    return table;
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
