// Shared pieces of the Windows tests of the options import: a registry key
// and a folder of their own for each test, a snapshot of a key tree, and a
// counter of the registry calls the module makes that can fail any one of
// them.
#pragma once

#include "accounting.h"
#include "diag/tests/test_files.h"
#include "options/codec/options_file.h"
#include "options/codec/pack.h"
#include "runtime/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace ca::test {

using Bytes = std::vector<uint8_t>;

// A key of its own below HKCU (and HKLM) "Software\CustActionTest", removed
// with everything below it at the end of the test.
class ScratchKey {
public:
    ScratchKey() {
        static int counter = 0;
        path_ = "Software\\CustActionTest\\" + std::to_string(::GetCurrentProcessId()) + "_" +
                std::to_string(++counter);
    }
    ~ScratchKey() {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            ::RegDeleteTreeA(root, path_.c_str());
            ::RegDeleteKeyA(root, path_.c_str());
            ::RegDeleteKeyA(root, "Software\\CustActionTest");
        }
    }
    const std::string& Path() const { return path_; }
    std::string Path(const std::string& below) const { return path_ + "\\" + below; }

private:
    std::string path_;
};

struct RegValue {
    DWORD type = 0;
    Bytes data;
    bool operator==(const RegValue&) const = default;
};

// Everything below a key: "sub\key\" for each key, "sub\key|name" for each
// value (names as the registry spells them, letter case folded).
using RegTree = std::map<std::string, RegValue>;

inline std::string Folded(std::string text) {
    for (char& c : text) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    return text;
}

inline void SnapshotInto(HKEY key, const std::string& prefix, RegTree& tree) {
    char name[1024];
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = sizeof name, type = 0, dataLength = static_cast<DWORD>(data.size());
        if (::RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data.data(), &dataLength) != ERROR_SUCCESS)
            break;
        tree[prefix + "|" + Folded(std::string(name, nameLength))] =
            RegValue{type, Bytes(data.begin(), data.begin() + dataLength)};
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = sizeof name;
        if (::RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string sub = prefix + Folded(std::string(name, nameLength)) + "\\";
        tree[sub] = RegValue{};
        HKEY child = nullptr;
        if (::RegOpenKeyExA(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            SnapshotInto(child, sub, tree);
            ::RegCloseKey(child);
        }
    }
}

// The tree below root\path; a key that does not exist gives {"<absent>"}.
inline RegTree Snapshot(HKEY root, const std::string& path) {
    RegTree tree;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {{"<absent>", {}}};
    SnapshotInto(key, "", tree);
    ::RegCloseKey(key);
    return tree;
}

// One value; type 0xFFFFFFFF when there is none.
inline RegValue QueryValue(HKEY root, const std::string& path, const char* name) {
    HKEY key = nullptr;
    RegValue value{0xFFFFFFFF, {}};
    if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    DWORD size = 0, type = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        ::RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size);
        value.data.resize(size);
    }
    ::RegCloseKey(key);
    return value;
}

inline void SetValue(HKEY root, const std::string& path, const char* name, DWORD type, const Bytes& data) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    ::RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    ::RegCloseKey(key);
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    WriteWholeFile(path, std::string(bytes.begin(), bytes.end()));
}

// ------------------------------------------------------------ registry calls

// Counts every registry call the module makes while in scope, passing each
// on; FailAt makes one of them fail with a code instead (a failing close
// still closes its key).
class RegistryCalls {
public:
    RegistryCalls();
    ~RegistryCalls();
    RegistryCalls(const RegistryCalls&) = delete;
    RegistryCalls& operator=(const RegistryCalls&) = delete;

    // The call with this index among all registry calls from now on fails.
    void FailAt(int index, LONG code);
    // The call with this index among the calls of one entry fails.
    template <auto Slot>
    void FailNth(int index, LONG code);
    // From the call with this index on, every call of one entry fails.
    template <auto Slot>
    void FailFrom(int index, LONG code);
    void Reset();

    int Total() const;
    template <auto Slot>
    int Count() const;
    int Failures() const;
    bool FailedClose() const;
};

namespace detail {

struct CallState {
    int total = 0;
    int failAt = -1;  // among all calls
    const int* failCounter = nullptr;  // among one entry's calls
    int failIndex = -1;
    bool failOnward = false;
    LONG code = 0;
    int failures = 0;       // calls failed so far
    bool failedClose = false;  // the last one failed was a close
};
inline CallState g_state;

template <typename T>
struct MemberOf;
template <typename C, typename T>
struct MemberOf<T C::*> {
    using type = T;
};

template <auto Slot>
constexpr bool kClosesKey = false;
template <>
constexpr bool kClosesKey<&Platform::RegCloseKey> = true;

template <auto Slot, typename F = typename MemberOf<decltype(Slot)>::type>
struct Hook;
template <auto Slot, typename R, typename... A>
struct Hook<Slot, R(WINAPI*)(A...)> {
    static inline int count = 0;
    static inline R(WINAPI* saved)(A...) = nullptr;
    static R WINAPI Call(A... args) {
        CallState& s = g_state;
        const int index = s.total++;
        const int own = count++;
        const bool fail = index == s.failAt ||
                          (s.failCounter == &count && (own == s.failIndex || (s.failOnward && own > s.failIndex)));
        if (!fail) return saved(args...);
        ++s.failures;
        s.failedClose = kClosesKey<Slot>;
        if constexpr (kClosesKey<Slot>) saved(args...);
        return static_cast<R>(s.code);
    }
    static void Install() {
        count = 0;
        saved = Os().*Slot;
        Os().*Slot = &Call;
    }
    static void Uninstall() { Os().*Slot = saved; }
};

template <typename F>
void ForEachRegistryHook(F&& f) {
    f.template operator()<&Platform::RegOpenKeyExA>();
    f.template operator()<&Platform::RegCreateKeyExA>();
    f.template operator()<&Platform::RegQueryValueExA>();
    f.template operator()<&Platform::RegSetValueExA>();
    f.template operator()<&Platform::RegEnumKeyExA>();
    f.template operator()<&Platform::RegEnumValueA>();
    f.template operator()<&Platform::RegQueryInfoKeyA>();
    f.template operator()<&Platform::RegDeleteKeyA>();
    f.template operator()<&Platform::RegDeleteValueA>();
    f.template operator()<&Platform::RegRenameKey>();
    f.template operator()<&Platform::RegOpenKeyExW>();
    f.template operator()<&Platform::RegEnumKeyExW>();
    f.template operator()<&Platform::RegQueryInfoKeyW>();
    f.template operator()<&Platform::RegDeleteKeyW>();
    f.template operator()<&Platform::RegDeleteTreeW>();
    f.template operator()<&Platform::RegGetKeySecurity>();
    f.template operator()<&Platform::RegSetKeySecurity>();
    f.template operator()<&Platform::RegCloseKey>();
}

}  // namespace detail

inline RegistryCalls::RegistryCalls() {
    detail::g_state = {};
    detail::ForEachRegistryHook([]<auto Slot>() { detail::Hook<Slot>::Install(); });
}
inline RegistryCalls::~RegistryCalls() {
    detail::ForEachRegistryHook([]<auto Slot>() { detail::Hook<Slot>::Uninstall(); });
}
inline void RegistryCalls::FailAt(int index, LONG code) {
    detail::g_state.failAt = detail::g_state.total + index;
    detail::g_state.code = code;
}
template <auto Slot>
void RegistryCalls::FailNth(int index, LONG code) {
    detail::g_state.failCounter = &detail::Hook<Slot>::count;
    detail::g_state.failIndex = detail::Hook<Slot>::count + index;
    detail::g_state.failOnward = false;
    detail::g_state.code = code;
}
template <auto Slot>
void RegistryCalls::FailFrom(int index, LONG code) {
    FailNth<Slot>(index, code);
    detail::g_state.failOnward = true;
}
inline void RegistryCalls::Reset() {
    detail::g_state = {};
    detail::ForEachRegistryHook([]<auto Slot>() { detail::Hook<Slot>::count = 0; });
}
inline int RegistryCalls::Total() const { return detail::g_state.total; }
inline int RegistryCalls::Failures() const { return detail::g_state.failures; }
inline bool RegistryCalls::FailedClose() const { return detail::g_state.failedClose; }
template <auto Slot>
int RegistryCalls::Count() const {
    return detail::Hook<Slot>::count;
}

}  // namespace ca::test

namespace ca::test {

// Gives a key (created when missing) a DACL of its own, in SDDL: "D:P(A;;KR;;;WD)"
// lets everyone read it and nobody write it.
inline void SetKeyDacl(HKEY root, const std::string& path, const char* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr), 0);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), 0);
    ::LocalFree(descriptor);
    ::RegCloseKey(key);
}

// Keys cannot be renamed while in scope (as before Windows Vista): settings
// that are replaced are copied into memory rather than set aside.
class NoKeyRenaming {
public:
    NoKeyRenaming() : saved_(Os().RegRenameKey) {
        Os().RegRenameKey = [](HKEY, LPCWSTR, LPCWSTR) WINAPI -> LSTATUS { return ERROR_CALL_NOT_IMPLEMENTED; };
    }
    ~NoKeyRenaming() { Os().RegRenameKey = saved_; }

private:
    decltype(Platform::RegRenameKey) saved_;
};

// Removes what replacements left beside the settings below `parent`.
inline void RemoveSetAside(const std::string& parent) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::vector<std::string> aside;
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (::RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string n = name;
        for (const char* suffix : {"~CA2Q7.1journal", "~CA2Q7.2new", "~CA2Q7.3old", "~CA2Q7.4undone", "~CA2Q7.5writing"}) {
            if (n.size() > strlen(suffix) && _stricmp(n.c_str() + n.size() - strlen(suffix), suffix) == 0)
                aside.push_back(n);
        }
    }
    ::RegCloseKey(key);
    for (const std::string& n : aside) {
        SetKeyDacl(HKEY_CURRENT_USER, parent + "\\" + n, "D:(A;OICI;KA;;;WD)");
        ::RegDeleteTreeA(HKEY_CURRENT_USER, (parent + "\\" + n).c_str());
        ::RegDeleteKeyA(HKEY_CURRENT_USER, (parent + "\\" + n).c_str());
    }
}

// The product the tests install: version 5.9, product characters "CA01".
inline constexpr char kSignature[] = "QVRXOPTSCA01";

// A small settings tree of two profiles.
inline Pack SampleSettings() {
    const uint8_t secret[] = {1, 2, 3, 4, 5};
    Pack profile;
    profile.SetMode(1, false);
    profile.Add(std::make_unique<PackItem>("Name", "Standard"));
    profile.Add(std::make_unique<PackItem>("Hotkey", 0x41));
    profile.Add(std::make_unique<PackItem>("Token", secret, 5, true));
    Pack settings;
    settings.Add(std::make_unique<PackItem>("Profile 1", profile));
    settings.Add(std::make_unique<PackItem>("Profile 2", profile));
    settings.Add(std::make_unique<PackItem>("Current", 1));
    return settings;
}

inline Bytes SampleFile(int32_t major = 5, int32_t minor = 9, int32_t build = 1234) {
    const Pack settings = SampleSettings();
    return BuildOptionsFile({kSignature, 1, major, minor, build}, &settings);
}

}  // namespace ca::test
