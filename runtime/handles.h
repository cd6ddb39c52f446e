// Owners for the handles the module opens. Each closes its handle through the
// platform table when it goes out of scope, so every path closes it.
#pragma once

#include "runtime/platform.h"

#include <utility>

namespace ca {

template <typename H, typename Traits>
class UniqueOsHandle {
public:
    UniqueOsHandle() = default;
    explicit UniqueOsHandle(H h) : h_(h) {}
    ~UniqueOsHandle() { Reset(); }
    UniqueOsHandle(UniqueOsHandle&& o) noexcept : h_(std::exchange(o.h_, Traits::Invalid())) {}
    UniqueOsHandle& operator=(UniqueOsHandle&& o) noexcept {
        if (this != &o) {
            Reset();
            h_ = std::exchange(o.h_, Traits::Invalid());
        }
        return *this;
    }
    UniqueOsHandle(const UniqueOsHandle&) = delete;
    UniqueOsHandle& operator=(const UniqueOsHandle&) = delete;

    H Get() const { return h_; }
    bool Valid() const { return h_ != Traits::Invalid(); }
    explicit operator bool() const { return Valid(); }
    // For out-parameters of the open calls: closes what is held first.
    H* Receive() {
        Reset();
        return &h_;
    }
    H Release() { return std::exchange(h_, Traits::Invalid()); }
    void Reset(H h = Traits::Invalid()) {
        if (Valid()) Traits::Close(h_);
        h_ = h;
    }

private:
    H h_ = Traits::Invalid();
};

struct KernelHandleTraits {  // handles whose "none" is NULL (mutexes, tokens)
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { Os().CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileA's "none" is INVALID_HANDLE_VALUE
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { Os().CloseHandle(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY h) { Os().RegCloseKey(h); }
};
struct LibraryTraits {
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE h) { Os().FreeLibrary(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { Os().FindClose(h); }
};

struct MsiHandleTraits {  // installer records
    static MSIHANDLE Invalid() { return 0; }
    static void Close(MSIHANDLE h) { Os().MsiCloseHandle(h); }
};

// What the security functions allocate with LocalAlloc (descriptors, access
// lists, SDDL texts).
template <typename P>
struct LocalMemoryTraits {
    static P Invalid() { return nullptr; }
    static void Close(P memory) { Os().LocalFree(memory); }
};

using UniqueHandle = UniqueOsHandle<HANDLE, KernelHandleTraits>;
using UniqueFile = UniqueOsHandle<HANDLE, FileHandleTraits>;
using UniqueKey = UniqueOsHandle<HKEY, RegKeyTraits>;
using UniqueLibrary = UniqueOsHandle<HMODULE, LibraryTraits>;
using UniqueFind = UniqueOsHandle<HANDLE, FindHandleTraits>;
using UniqueMsiHandle = UniqueOsHandle<MSIHANDLE, MsiHandleTraits>;

}  // namespace ca
