// FindActiveApp against windows and mutexes held by a helper process.
#include "actions/action.h"
#include "helper_process.h"
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

extern "C" UINT __stdcall FindActiveApp(MSIHANDLE);

using ::testing::ElementsAre;

namespace ca {
namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

// Names of this test process only, so that other processes' windows and
// mutexes never answer for them.
std::string Unique(const std::string& name) {
    return name + "." + std::to_string(GetCurrentProcessId());
}

// Whether a named mutex exists now (opening it fails with 2 when not).
bool MutexExists(const std::string& name) {
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
        return false;
    }
    CloseHandle(mutex);
    return true;
}

class FindActiveAppTest : public ::testing::Test {
protected:
    // The package's list of window classes ("NAMECLASS") or mutexes
    // ("MUTEXGLOBAL"): the count, then the entries.
    void List(const std::string& list, const std::string& count,
              const std::vector<std::string>& entries = {}) {
        session.Set(list + "_CNT", count);
        for (size_t i = 0; i < entries.size(); ++i)
            session.Set(list + std::to_string(i), entries[i]);
    }

    // Runs the action; the properties it wrote, in order.
    Writes Run() {
        test::PropertyWrites writes;
        EXPECT_EQ(FindActiveApp(session.Handle()), 0u);
        return writes.Writes();
    }

    // A failure was published with one log record; a failure in the mutex
    // stage also answers "0".
    void ExpectFailure(const Writes& writes, int32_t code, const std::string& point,
                       const std::string& extra, bool answersNo) {
        const std::string codeLine = "Code: " + std::to_string(code) + " Point: " + point + " " + extra;
        Writes expected = {{"IS_CA_ERROR", "1"},
                           {"CA_ERROR_TEXT", SystemErrorText(code)},
                           {"CA_ERROR_CODE", codeLine}};
        if (answersNo) expected.emplace_back("IS_ACTIVE_APP", "0");
        EXPECT_EQ(writes, expected);
        EXPECT_THAT(log.Records(), ElementsAre(codeLine));
    }

    test::InstallerLog log;
    test::InstallerSession session;
    const std::string absentClass = Unique("CaTest.NoSuchWindow");
    const std::string absentMutex1 = Unique("CaTest.NoSuchMutex1");
    const std::string absentMutex2 = Unique("CaTest.NoSuchMutex2");
};

TEST_F(FindActiveAppTest, NothingListedOrNothingRunningAnswersNo) {
    const struct {
        const char* classCount;
        const char* mutexCount;
    } counts[] = {{"", ""}, {"0", "0"}, {"-3", "abc"}};
    for (const auto& c : counts) {
        // Entries that would fail if they were read: counts of 0 or less read none.
        List("NAMECLASS", c.classCount, {""});
        List("MUTEXGLOBAL", c.mutexCount, {""});
        EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "0"}})) << c.classCount << "/" << c.mutexCount;
        EXPECT_EQ(session.Get("ACTIVE_APP_IND"), "");
    }

    List("NAMECLASS", "1", {absentClass});
    List("MUTEXGLOBAL", "2", {absentMutex1, "Local\\" + absentMutex2});
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "0"}}));
    // The probes left no mutex behind.
    EXPECT_FALSE(MutexExists(absentMutex1));
    EXPECT_FALSE(MutexExists("Local\\" + absentMutex2));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(FindActiveAppTest, WindowOfAListedClassStopsTheSearch) {
    const std::string running = Unique("CaTest.RunningWindow");
    test::HelperProcess helper({"window:" + running});
    ASSERT_TRUE(helper.Ready());
    // A mutex entry that would fail if the mutexes were probed at all.
    List("MUTEXGLOBAL", "1", {""});

    List("NAMECLASS", " 2", {absentClass, running});
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "1"}, {"ACTIVE_APP_IND", "1"}}));
    List("NAMECLASS", "2", {running, ""});  // the search stops before the empty entry
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "1"}, {"ACTIVE_APP_IND", "0"}}));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(FindActiveAppTest, MutexHeldByAnotherProcessIsFoundByItsIndexPlus1000) {
    const std::string local = "Local\\" + Unique("CaTest.HeldMutex");
    const std::string global = "Global\\" + Unique("CaTest.HeldMutex");
    test::HelperProcess helper({"mutex:" + local, "mutex:" + global});
    ASSERT_TRUE(helper.Ready());
    List("NAMECLASS", "1", {absentClass});

    List("MUTEXGLOBAL", "4", {absentMutex1, absentMutex2, local, ""});
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "1"}, {"ACTIVE_APP_IND", "1002"}}));
    EXPECT_FALSE(MutexExists(absentMutex1));
    EXPECT_FALSE(MutexExists(absentMutex2));

    List("MUTEXGLOBAL", "1", {global});
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "1"}, {"ACTIVE_APP_IND", "1000"}}));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(FindActiveAppTest, MutexOfAnotherSecurityContextCountsAsFound) {
    // Opening a mutex that another user's process protects is denied.
    PlatformOverride denied(&Platform::CreateMutexA, [](LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) -> HANDLE {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    });
    List("NAMECLASS", "0");
    List("MUTEXGLOBAL", "2", {"Global\\Protected", "unused"});
    EXPECT_EQ(Run(), (Writes{{"IS_ACTIVE_APP", "1"}, {"ACTIVE_APP_IND", "1000"}}));
    EXPECT_TRUE(log.Records().empty());
}

const char* g_failingProperty;
UINT WINAPI FailOneRead(MSIHANDLE install, LPCSTR name, LPSTR buffer, LPDWORD size) {
    if (lstrcmpA(name, g_failingProperty) == 0) return ERROR_INVALID_HANDLE;
    return MsiGetPropertyA(install, name, buffer, size);
}

TEST_F(FindActiveAppTest, FailedReadsOfTheWindowListSetNoAnswer) {
    // A count too long for the 260-byte buffer.
    const std::string longCount(300, '1');
    List("NAMECLASS", longCount);
    ExpectFailure(Run(), ERROR_MORE_DATA, "33ADDYZVVJULZ79",
                  "(300)(NAMECLASS_CNT)(" + longCount.substr(0, 259) + ")", false);

    // An empty entry: code 0.
    log.Remove();
    List("NAMECLASS", "2", {absentClass, ""});
    ExpectFailure(Run(), 0, "TBI8SK3DRC238DC", "(0)(NAMECLASS1)()", false);
    EXPECT_EQ(session.Get("CA_ERROR_TEXT"), "Unknown error.");

    // An entry the installer cannot read.
    log.Remove();
    g_failingProperty = "NAMECLASS0";
    {
        PlatformOverride failing(&Platform::MsiGetPropertyA, &FailOneRead);
        ExpectFailure(Run(), ERROR_INVALID_HANDLE, "TBI8SK3DRC238DC", "(260)(NAMECLASS0)()", false);
    }

    log.Remove();
    PlatformOverride throwing(&Platform::FindWindowA,
                              [](LPCSTR, LPCSTR) -> HWND { test::ThrowForeign(8); });
    ExpectFailure(Run(), 8, "82YPD55VMV6VMWU", "", false);
}

TEST_F(FindActiveAppTest, FailuresOfTheMutexStageAnswerNoAfterTheReport) {
    List("NAMECLASS", "1", {absentClass});

    g_failingProperty = "MUTEXGLOBAL_CNT";
    {
        PlatformOverride failing(&Platform::MsiGetPropertyA, &FailOneRead);
        ExpectFailure(Run(), ERROR_INVALID_HANDLE, "LDR9F98PJDG6IJH", "(260)(MUTEXGLOBAL_CNT)()", true);
    }

    log.Remove();
    List("MUTEXGLOBAL", "2", {absentMutex1, ""});
    ExpectFailure(Run(), 0, "2JR82EFERFR9YTP", "(0)(MUTEXGLOBAL1)()", true);
    EXPECT_FALSE(MutexExists(absentMutex1));

    // No mutex namespace of that name: no handle, and not "access denied".
    log.Remove();
    const std::string badName = "NoSuchNamespace\\" + absentMutex1;
    List("MUTEXGLOBAL", "1", {badName});
    ExpectFailure(Run(), ERROR_PATH_NOT_FOUND, "IWGDDMHEV8B7P9K", badName, true);

    // A handle with an unexpected error: still closed, so the mutex is gone.
    log.Remove();
    List("MUTEXGLOBAL", "1", {absentMutex2});
    {
        PlatformOverride odd(&Platform::CreateMutexA,
                             [](LPSECURITY_ATTRIBUTES sa, BOOL owned, LPCSTR name) -> HANDLE {
                                 const HANDLE mutex = CreateMutexA(sa, owned, name);
                                 SetLastError(ERROR_INVALID_HANDLE);
                                 return mutex;
                             });
        ExpectFailure(Run(), ERROR_INVALID_HANDLE, "3JRTAADEVCSEAU8", absentMutex2, true);
    }
    EXPECT_FALSE(MutexExists(absentMutex2));

    log.Remove();
    PlatformOverride throwing(&Platform::CreateMutexA,
                              [](LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) -> HANDLE { test::ThrowForeign(8); });
    ExpectFailure(Run(), 8, "H977CYCWLVBZDF8", "", true);
}

}  // namespace
}  // namespace ca
