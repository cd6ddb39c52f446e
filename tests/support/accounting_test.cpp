// The accounting that every Windows test runs under: what it sees acquired
// through the platform table, and that a release through the table evens it.
#include "accounting.h"

#include <gtest/gtest.h>

#include <functional>

namespace ca::test {
namespace {

TEST(Accounting, PairsEveryAcquisitionWithItsRelease) {
    ASSERT_TRUE(Accounting::Installed());
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "accounting-test.bin";
    const struct {
        Resource kind;
        std::function<uintptr_t()> acquire;
        std::function<void(uintptr_t)> release;
    } cases[] = {
        {Resource::Key,
         [] {
             HKEY key = nullptr;
             EXPECT_EQ(Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), 0);
             return reinterpret_cast<uintptr_t>(key);
         },
         [](uintptr_t v) { Os().RegCloseKey(reinterpret_cast<HKEY>(v)); }},
        {Resource::File,
         [&] {
             return reinterpret_cast<uintptr_t>(Os().CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr,
                                                                 CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
         },
         [](uintptr_t v) { Os().CloseHandle(reinterpret_cast<HANDLE>(v)); }},
        {Resource::Mutex, [] { return reinterpret_cast<uintptr_t>(Os().CreateMutexA(nullptr, FALSE, nullptr)); },
         [](uintptr_t v) { Os().CloseHandle(reinterpret_cast<HANDLE>(v)); }},
        {Resource::Token,
         [] {
             HANDLE token = nullptr;
             EXPECT_TRUE(Os().OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
             return reinterpret_cast<uintptr_t>(token);
         },
         [](uintptr_t v) { Os().CloseHandle(reinterpret_cast<HANDLE>(v)); }},
        {Resource::Find,
         [&] {
             WIN32_FIND_DATAA data;
             return reinterpret_cast<uintptr_t>(Os().FindFirstFileA((std::string(temp) + "*").c_str(), &data));
         },
         [](uintptr_t v) { Os().FindClose(reinterpret_cast<HANDLE>(v)); }},
        {Resource::Library, [] { return reinterpret_cast<uintptr_t>(Os().LoadLibraryA("version.dll")); },
         [](uintptr_t v) { Os().FreeLibrary(reinterpret_cast<HMODULE>(v)); }},
        {Resource::Sid,
         [] {
             using Allocate = decltype(&::AllocateAndInitializeSid);
             auto allocate = reinterpret_cast<Allocate>(reinterpret_cast<void*>(
                 Os().GetProcAddress(Os().GetModuleHandleA("Advapi32.dll"), "AllocateAndInitializeSid")));
             SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
             PSID sid = nullptr;
             EXPECT_TRUE(allocate(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &sid));
             return reinterpret_cast<uintptr_t>(sid);
         },
         [](uintptr_t v) { Os().FreeSid(reinterpret_cast<PSID>(v)); }},
        {Resource::MsiHandle, [] { return static_cast<uintptr_t>(Os().MsiCreateRecord(1)); },
         [](uintptr_t v) { Os().MsiCloseHandle(static_cast<MSIHANDLE>(v)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ResourceName(c.kind));
        const uintptr_t value = c.acquire();
        ASSERT_NE(value, 0u);
        EXPECT_EQ(Accounting::Held(c.kind), 1);
        ASSERT_EQ(Accounting::Leaks().size(), 1u);
        EXPECT_EQ(Accounting::Leaks()[0].rfind(ResourceName(c.kind), 0), 0u) << Accounting::Leaks()[0];
        c.release(value);
        EXPECT_EQ(Accounting::Held(c.kind), 0);
        EXPECT_EQ(Accounting::Acquired(c.kind), 1);
        EXPECT_EQ(Accounting::Released(c.kind), 1);
    }
    EXPECT_TRUE(Accounting::Leaks().empty());
}

TEST(Accounting, ReleasesWhatATestLeft) {
    HKEY key = nullptr;
    ASSERT_EQ(Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), 0);
    const HANDLE mutex = Os().CreateMutexA(nullptr, FALSE, "Local\\AccountingTestMutex");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(Accounting::Leaks().size(), 2u);
    Accounting::ReleaseLeaks();
    EXPECT_TRUE(Accounting::Leaks().empty());
    // The mutex was closed: a new one of that name is not an existing one.
    const HANDLE again = CreateMutexA(nullptr, FALSE, "Local\\AccountingTestMutex");
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
}

}  // namespace
}  // namespace ca::test
