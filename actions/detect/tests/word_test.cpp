// Word detection: the registered version from the test prefix's registry,
// and Word's main window held by a helper process.
#include "actions/action.h"
#include "actions/detect/word_version.h"
#include "helper_process.h"
#include "installer_session.h"

#include <aclapi.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern "C" UINT __stdcall CheckMSWordRunning(MSIHANDLE);
extern "C" UINT __stdcall ReadMSWordVer(MSIHANDLE);

using ::testing::ElementsAre;

namespace ca {
namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

constexpr char kCurVer[] = "Word.Application\\CurVer";

// HKEY_CLASSES_ROOT\Word.Application\CurVer as a test needs it; removed again
// at the end of the test.
class WordRegistration {
public:
    WordRegistration() { Remove(); }
    ~WordRegistration() { Remove(); }

    // The default value.
    void Set(const std::string& value, DWORD type = REG_SZ) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kCurVer, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // The key exists but nobody may read it.
    void Lock() {
        Set("Word.Application.11");
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kCurVer, 0, WRITE_DAC, &key), ERROR_SUCCESS);
        ACL empty;
        InitializeAcl(&empty, sizeof empty, ACL_REVISION);
        EXPECT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &empty, nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
        RegCloseKey(key);
    }

    static void Remove() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kCurVer, 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
            SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, nullptr);  // open to all again
            RegCloseKey(key);
        }
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "Word.Application");
    }
};

// Keys the reader opened and closed.
int g_opened, g_closed;
LSTATUS WINAPI CountingOpen(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key) {
    const LSTATUS result = RegOpenKeyExA(parent, name, options, access, key);
    if (result == ERROR_SUCCESS) ++g_opened;
    return result;
}
LSTATUS WINAPI CountingClose(HKEY key) {
    ++g_closed;
    return RegCloseKey(key);
}

class ReadMSWordVerTest : public ::testing::Test {
protected:
    // Runs the action; the properties it wrote, in order. Every key the
    // reader opened is closed again.
    Writes Run() {
        g_opened = g_closed = 0;
        PlatformOverride open(&Platform::RegOpenKeyExA, &CountingOpen);
        PlatformOverride close(&Platform::RegCloseKey, &CountingClose);
        test::PropertyWrites writes;
        EXPECT_EQ(ReadMSWordVer(session.Handle()), 0u);
        EXPECT_EQ(g_opened, g_closed);
        return writes.Writes();
    }

    // A failure of the reader at `point`, reported through the action.
    void ExpectFailure(const Writes& writes, int32_t code, const std::string& point,
                       const std::string& extra) {
        const std::string chain = "AJSDG5UZYCXI5TT:" + point;
        EXPECT_EQ(writes, (Writes{{"IS_CA_ERROR", "1"},
                                  {"CA_ERROR_TEXT", SystemErrorText(code)},
                                  {"CA_ERROR_CODE", "Code: " + std::to_string(code) + " Point: " +
                                                        chain + " " + extra}}));
        EXPECT_THAT(log.Records(),
                    ElementsAre("Code: " + std::to_string(code) + " Point: " + point + " " + extra,
                                chain));
    }

    test::InstallerLog log;
    test::InstallerSession session;
    WordRegistration word;
};

TEST_F(ReadMSWordVerTest, VersionIsTheNumberAfterTheLastDot) {
    const struct {
        std::string value;
        const char* version;
    } cases[] = {
        {"Word.Application.11", "11"},
        {"Word.Application.12", "12"},
        {"Word.Application.9x", "9"},
        {"A.B.C. 14", "14"},
        {std::string(256, 'W') + ".12", "12"},  // 259 characters and the terminator: a full buffer
    };
    for (const auto& c : cases) {
        word.Set(c.value);
        EXPECT_EQ(Run(), (Writes{{"MSWORD_VER", c.version}})) << c.value;
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(ReadMSWordVerTest, ValueFillingTheBufferWithoutTerminatorLosesItsLastByte) {
    // Windows returns a text stored without terminator as it is; the reader
    // then ends it in the buffer's last byte.
    word.Set("Word.Application.11");
    PlatformOverride unterminated(
        &Platform::RegQueryValueExA,
        [](HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) -> LSTATUS {
            const std::string value = std::string(257, 'W') + ".12";
            EXPECT_EQ(*size, 260u);
            memcpy(data, value.data(), value.size());
            *type = REG_SZ;
            *size = static_cast<DWORD>(value.size());
            return ERROR_SUCCESS;
        });
    EXPECT_EQ(Run(), (Writes{{"MSWORD_VER", "1"}}));
}

TEST_F(ReadMSWordVerTest, NoRegisteredWordAnswersZero) {
    EXPECT_EQ(Run(), (Writes{{"MSWORD_VER", "0"}}));
    // Word.Application without CurVer.
    word.Set("Word.Application.11");
    ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, kCurVer), ERROR_SUCCESS);
    EXPECT_EQ(Run(), (Writes{{"MSWORD_VER", "0"}}));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(ReadMSWordVerTest, MalformedRegistrationsAreReportedWithoutAnAnswer) {
    const struct {
        std::string value;
        DWORD type;
        int32_t code;
        const char* point;
        std::string extra;
    } cases[] = {
        {"Word", REG_SZ, 13, "W36MAN6789A8WMG", "(Word)"},
        {"Word.Application", REG_SZ, 13, "S8S4L8G3KHVWXX2", "(Word.Application)"},
        {"Word.Application.", REG_SZ, 13, "S8S4L8G3KHVWXX2", "(Word.Application.)"},
        {"Word.Application.0", REG_SZ, 13, "S8S4L8G3KHVWXX2", "(Word.Application.0)"},
        // No Word registers a negative version: malformed, like a missing one.
        {"Word.Application.-3", REG_SZ, 13, "S8S4L8G3KHVWXX2", "(Word.Application.-3)"},
        {"Word.Application.11", REG_EXPAND_SZ, 0, "MAAY87R4D76H5W9", "(2)(260)"},
        {std::string(257, 'W') + ".11", REG_SZ, ERROR_MORE_DATA, "MAAY87R4D76H5W9", "(1)(260)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        log.Remove();
        word.Set(c.value, c.type);
        ExpectFailure(Run(), c.code, c.point, c.extra);
    }
}

TEST_F(ReadMSWordVerTest, KeyThatCannotBeOpenedIsReported) {
    word.Lock();
    ExpectFailure(Run(), ERROR_ACCESS_DENIED, "4RXF7LXGXYXDLKZ", "");
}

TEST_F(ReadMSWordVerTest, ForeignExceptionInTheReaderIsRecordedAtItsOwnPoint) {
    word.Set("Word.Application.11");
    PlatformOverride throwing(&Platform::RegQueryValueExA,
                              [](HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) -> LSTATUS {
                                  test::ThrowForeign(8);
                              });
    ExpectFailure(Run(), 8, "MKA9SCM9A4I53PV", "");
}

TEST(ReadWordMajorVersion, ReturnsVersionZeroOrMinusOneAfterARecordedFailure) {
    test::InstallerLog log;
    WordRegistration word;
    ActionError error;
    EXPECT_EQ(ReadWordMajorVersion(error), 0);
    word.Set("Word.Application.16");
    EXPECT_EQ(ReadWordMajorVersion(error), 16);
    EXPECT_EQ(error.Point(), "");
    word.Set("Word.Application.-3");
    EXPECT_EQ(ReadWordMajorVersion(error), -1);
    EXPECT_EQ(error.Point(), "S8S4L8G3KHVWXX2");
    EXPECT_EQ(error.Code(), 13);
    EXPECT_EQ(error.Extra(), "(Word.Application.-3)");
    EXPECT_THAT(log.Records(), ElementsAre("Code: 13 Point: S8S4L8G3KHVWXX2 (Word.Application.-3)"));
}

class CheckMSWordRunningTest : public ::testing::Test {
protected:
    Writes Run() {
        test::PropertyWrites writes;
        EXPECT_EQ(CheckMSWordRunning(session.Handle()), 0u);
        return writes.Writes();
    }

    test::InstallerLog log;
    test::InstallerSession session;
};

TEST_F(CheckMSWordRunningTest, WordIsRunningWhileItsMainWindowExists) {
    EXPECT_EQ(Run(), (Writes{{"IS_MSWORD_RUNNING", "0"}}));
    {
        test::HelperProcess word({"window:OpusApp"});
        ASSERT_TRUE(word.Ready());
        EXPECT_EQ(Run(), (Writes{{"IS_MSWORD_RUNNING", "1"}}));
    }
    EXPECT_EQ(Run(), (Writes{{"IS_MSWORD_RUNNING", "0"}}));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(CheckMSWordRunningTest, ForeignExceptionIsReportedWithoutAnAnswer) {
    PlatformOverride throwing(&Platform::FindWindowA,
                              [](LPCSTR, LPCSTR) -> HWND { test::ThrowForeign(8); });
    EXPECT_EQ(Run(), (Writes{{"IS_CA_ERROR", "1"},
                             {"CA_ERROR_TEXT", SystemErrorText(8)},
                             {"CA_ERROR_CODE", "Code: 8 Point: EFZPU2E3AGW4IN7 "}}));
    EXPECT_THAT(log.Records(), ElementsAre("Code: 8 Point: EFZPU2E3AGW4IN7 "));
}

}  // namespace
}  // namespace ca
