// A stand-in for the Indexing Service client library (query.dll), loaded by
// the tests instead of the system's. It answers as the process environment
// tells it and leaves a description of each call in the environment, so a
// test in the same process can both steer and observe the action.
//
//   QUERY_STANDIN_LOCATE_RESULT   result of LocateCatalogsA (default: none located)
//   QUERY_STANDIN_MACHINE         machine name it returns (copied as far as it fits)
//   QUERY_STANDIN_CATALOG         catalog name it returns
//   QUERY_STANDIN_MACHINE_SIZE    machine-name size it returns (default: length + 1)
//   QUERY_STANDIN_CATALOG_SIZE    catalog-name size it returns (default: length + 1)
//   QUERY_STANDIN_CISTATE_RESULT  result of CIState (default: index not running)
//
// Calls are described in QUERY_STANDIN_LOCATE_CALL and QUERY_STANDIN_CISTATE_CALL.
// Built without one of its two entry points (QUERY_STANDIN_WITHOUT_LOCATE,
// QUERY_STANDIN_WITHOUT_CISTATE) for the tests of a library that lacks it.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr HRESULT kIndexNotRunning = static_cast<HRESULT>(0x80041820);

bool Env(const char* name, std::string& value) {
    char buffer[2048];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return false;
    value.assign(buffer, length);
    return true;
}

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    std::string text;
    return Env(name, text) ? std::strtoul(text.c_str(), nullptr, 0) : fallback;
}

// Copies as much of the text, with its terminator, as `capacity` allows.
[[maybe_unused]] void Fill(char* buffer, ULONG capacity, const std::string& text) {
    std::memcpy(buffer, text.c_str(), std::min<size_t>(text.size() + 1, capacity));
}

[[maybe_unused]] std::string Utf8(const WCHAR* text) {
    if (text == nullptr) return "(null)";
    char buffer[2048] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    return buffer;
}

std::string Printf(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

}  // namespace

extern "C" {

#ifndef QUERY_STANDIN_WITHOUT_LOCATE
__declspec(dllexport) HRESULT WINAPI LocateCatalogsA(const char* scope, ULONG bookmark,
                                                     char* machine, ULONG* machineSize,
                                                     char* catalog, ULONG* catalogSize) {
    SetEnvironmentVariableA(
        "QUERY_STANDIN_LOCATE_CALL",
        Printf("scope=%s bookmark=%lu machine=%s/%lu catalog=%s/%lu", scope, bookmark,
               machine[0] ? "filled" : "empty", *machineSize, catalog[0] ? "filled" : "empty",
               *catalogSize)
            .c_str());
    const HRESULT result =
        static_cast<HRESULT>(EnvNumber("QUERY_STANDIN_LOCATE_RESULT", kIndexNotRunning));
    std::string machineName, catalogName;
    if (Env("QUERY_STANDIN_MACHINE", machineName)) Fill(machine, *machineSize, machineName);
    if (Env("QUERY_STANDIN_CATALOG", catalogName)) Fill(catalog, *catalogSize, catalogName);
    *machineSize = EnvNumber("QUERY_STANDIN_MACHINE_SIZE", machineName.size() + 1);
    *catalogSize = EnvNumber("QUERY_STANDIN_CATALOG_SIZE", catalogName.size() + 1);
    return result;
}
#endif

#ifndef QUERY_STANDIN_WITHOUT_CISTATE
// The status record is taken as the 15 DWORDs it is.
__declspec(dllexport) HRESULT WINAPI CIState(const WCHAR* catalog, const WCHAR* machine,
                                             DWORD* state) {
    bool zero = true;
    for (int i = 1; i < 15; ++i) zero = zero && state[i] == 0;
    SetEnvironmentVariableA("QUERY_STANDIN_CISTATE_CALL",
                            Printf("catalog=%s machine=%s size=%lu rest=%s", Utf8(catalog).c_str(),
                                   Utf8(machine).c_str(), state[0], zero ? "zero" : "dirty")
                                .c_str());
    for (int i = 1; i < 15; ++i) state[i] = 0xA5A5A5A5;
    return static_cast<HRESULT>(EnvNumber("QUERY_STANDIN_CISTATE_RESULT", kIndexNotRunning));
}
#endif

}  // extern "C"
