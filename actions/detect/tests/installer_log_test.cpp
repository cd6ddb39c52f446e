// Every detection action names itself in the installer's own log: each record
// of a failure it writes to kwinst.log is sent to the installer too, prefixed
// "CustAction: " and the action's name.
#include "actions/action.h"
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

extern "C" UINT __stdcall ReadProductVerPrm(MSIHANDLE);
extern "C" UINT __stdcall CompareInstDir(MSIHANDLE);
extern "C" UINT __stdcall FindActiveApp(MSIHANDLE);
extern "C" UINT __stdcall CheckISRunning(MSIHANDLE);
extern "C" UINT __stdcall CheckMSWordRunning(MSIHANDLE);
extern "C" UINT __stdcall ReadMSWordVer(MSIHANDLE);

namespace ca {
namespace {

UINT WINAPI PropertyReadFails(MSIHANDLE, LPCSTR, LPSTR, LPDWORD) { return ERROR_INVALID_HANDLE; }
HMODULE WINAPI NoLibrary(LPCSTR) { return nullptr; }
HWND WINAPI FindWindowThrows(LPCSTR, LPCSTR) { test::ThrowForeign(ERROR_ACCESS_DENIED); }
LSTATUS WINAPI OpenDenied(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_ACCESS_DENIED; }

TEST(DetectionActions, SendEveryRecordOfAFailureToTheInstallerLog) {
    const struct {
        const char* action;
        std::function<void(MSIHANDLE)> fail;  // runs the action with one call failing
        const char* firstRecord;
    } cases[] = {
        {"ReadProductVerPrm",
         [](MSIHANDLE h) {
             PlatformOverride read(&Platform::MsiGetPropertyA, &PropertyReadFails);
             ReadProductVerPrm(h);
         },
         "Code: 6 Point: A4LRP85LV7J52YM (0)(OLD_COMMONREG_READ)((null))"},
        {"CompareInstDir",
         [](MSIHANDLE h) {
             PlatformOverride read(&Platform::MsiGetPropertyA, &PropertyReadFails);
             CompareInstDir(h);
         },
         "Code: 6 Point: A4LRP85LV7J52YM (0)(COPY_INSTALLDIR)((null))"},
        {"FindActiveApp",
         [](MSIHANDLE h) {
             PlatformOverride read(&Platform::MsiGetPropertyA, &PropertyReadFails);
             FindActiveApp(h);
         },
         "Code: 6 Point: 33ADDYZVVJULZ79 (260)(NAMECLASS_CNT)()"},
        {"CheckISRunning",
         [](MSIHANDLE h) {
             PlatformOverride load(&Platform::LoadLibraryA, &NoLibrary);
             CheckISRunning(h);
         },
         "Code: -2147467261 Point: BUGFHXBLPKZ9NFF "},
        {"CheckMSWordRunning",
         [](MSIHANDLE h) {
             PlatformOverride find(&Platform::FindWindowA, &FindWindowThrows);
             CheckMSWordRunning(h);
         },
         "Code: 5 Point: EFZPU2E3AGW4IN7 "},
        {"ReadMSWordVer",
         [](MSIHANDLE h) {
             PlatformOverride open(&Platform::RegOpenKeyExA, &OpenDenied);
             ReadMSWordVer(h);
         },
         "Code: 5 Point: 4RXF7LXGXYXDLKZ "},
    };
    test::InstallerSession session;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        test::InstallerLog log;
        test::InstallerMessages messages;
        c.fail(session.Handle());
        const std::vector<std::string> records = log.Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records[0], c.firstRecord);
        std::vector<std::string> expected;
        for (const auto& r : records) expected.push_back("CustAction: " + std::string(c.action) + ": " + r);
        EXPECT_EQ(messages.Texts(INSTALLMESSAGE_INFO), expected);
        // The scope closes with the action.
        EXPECT_EQ(ActionScope::Current(), nullptr);
    }
}

}  // namespace
}  // namespace ca
