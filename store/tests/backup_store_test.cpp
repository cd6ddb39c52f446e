// The undo store: protected levels, the journal, backups moved in and out by
// handle, and what becomes of a store that cannot be trusted or that an
// earlier installation left behind.
#include "store/backup_store.h"

#include "folders.h"
#include "installer_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace ca {
namespace {

constexpr char kProduct[] = "{5B0C1D2E-3F40-4A5B-8C6D-7E8F90A1B2C3}";

TransactionSwitch Kept(const char* run = "") { return {"", kProduct, run}; }

std::string TempFolder() {
    char path[MAX_PATH] = {};
    GetTempPathA(sizeof path, path);
    return path;
}

std::string g_windows;

UINT WINAPI TestWindowsFolder(LPSTR path, UINT size) {
    return static_cast<UINT>(lstrlenA(lstrcpynA(path, g_windows.c_str(), static_cast<int>(size))));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

UniqueFile OpenForMove(const std::string& path, bool folder = false) {
    return UniqueFile(CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr));
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_windows = TempFolder() + "ca-store-windows";
        test::RemoveFolderTree(g_windows);
        ASSERT_TRUE(test::CreateFolders(g_windows + "\\Installer"));
        user = TempFolder() + "ca-store-user";
        test::RemoveFolderTree(user);
        ASSERT_TRUE(test::CreateFolders(user));
    }
    void TearDown() override {
        test::RemoveFolderTree(g_windows);
        test::RemoveFolderTree(user);
    }
    std::string StorePath(const char* action) const {
        return g_windows + "\\Installer\\CustAction\\" + kProduct + "\\" + action;
    }
    PlatformOverride<decltype(Platform::GetSystemWindowsDirectoryA)> windows{&Platform::GetSystemWindowsDirectoryA,
                                                                             &TestWindowsFolder};
    std::string user;
};

// A forward run, then its rollback: every record read back, files and an
// empty folder moved in and out by handle with their marks, a name taken
// meanwhile never replaced, and the store gone after it is cleared.
TEST_F(StoreTest, JournalAndBackupsGoInAndOutAndTheStoreIsDeletedAfter) {
    test::InstallerLog log;
    ActionError error;
    BackupStore store;
    ASSERT_TRUE(BeginUndo(Kept(), "Act", store, error));
    EXPECT_EQ(store.Path(), StorePath("Act"));
    WriteText(user + "\\a.ini", "first");
    WriteText(user + "\\b.ini", "second");
    SetFileAttributesA((user + "\\b.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(test::CreateFolders(user + "\\empty"));
    const std::string a = store.NewBackupName(), b = store.NewBackupName(), folder = store.NewBackupName();
    EXPECT_EQ(a, "00000001");
    for (const auto& [name, backup] : {std::pair{"a.ini", a}, {"b.ini", b}, {"empty", folder}}) {
        ASSERT_EQ(store.Append({"moved", name, backup}), 0u);
        UniqueFile object = OpenForMove(user + "\\" + name, backup == folder);
        ASSERT_TRUE(object);
        ASSERT_EQ(store.MoveIn(object.Get(), backup), 0u) << name;
    }
    ASSERT_EQ(store.WriteBackup(store.NewBackupName(), "saved tree"), 0u);
    EXPECT_FALSE(Exists(user + "\\a.ini") || Exists(user + "\\b.ini") || Exists(user + "\\empty"));
    store.Close();

    // The rollback's view: the existing store, the records in order.
    BackupStore again;
    ASSERT_EQ(again.OpenExisting(kProduct, "Act"), 0u);
    std::vector<JournalRecord> records;
    ASSERT_EQ(again.ReadJournal(records), 0u);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1], (JournalRecord{"moved", "b.ini", b}));
    std::string saved;
    EXPECT_EQ(again.ReadBackup("00000004", saved), 0u);
    EXPECT_EQ(saved, "saved tree");
    UniqueFile target(CreateFileA(user.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                                    FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    WriteText(user + "\\a.ini", "made meanwhile");
    EXPECT_EQ(again.MoveOut(a, target.Get(), "a.ini"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadText(user + "\\a.ini"), "made meanwhile");
    EXPECT_EQ(again.MoveOut(b, target.Get(), "b.ini"), 0u);
    EXPECT_EQ(again.MoveOut(b, target.Get(), "b.ini"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // twice
    EXPECT_EQ(again.MoveOut(folder, target.Get(), "empty"), 0u);
    EXPECT_EQ(ReadText(user + "\\b.ini"), "second");
    EXPECT_EQ(GetFileAttributesA((user + "\\b.ini").c_str()) & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA((user + "\\empty").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    SetFileAttributesA((user + "\\b.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
    // The backup that could not go back is deleted with the store only when
    // the caller says everything is settled: here, it is.
    ASSERT_EQ(again.Clear(), 0u);
    EXPECT_FALSE(Exists(g_windows + "\\Installer\\CustAction\\" + kProduct));
    EXPECT_TRUE(Exists(g_windows + "\\Installer\\CustAction"));
    EXPECT_EQ(BackupStore().OpenExisting(kProduct, "Act"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
}

// The store and the user's folder as two volumes: a rename from one to the
// other answers "not the same device"; within one it is made.
bool InStore(HANDLE object) {
    char path[MAX_PATH * 2] = {};
    GetFinalPathNameByHandleA(object, path, sizeof path, FILE_NAME_NORMALIZED);
    return std::strstr(path, "ca-store-windows") != nullptr;
}

NTSTATUS NTAPI OtherVolume(HANDLE object, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                           FILE_INFORMATION_CLASS type) {
    if (InStore(object) != InStore(static_cast<FILE_RENAME_INFO*>(info)->RootDirectory))
        return static_cast<NTSTATUS>(0xC00000D4L);  // STATUS_NOT_SAME_DEVICE
    return NtSetInformationFileWhereAvailable(object, status, info, length, type);
}

// Across volumes the rename answers "not the same device": a file is copied
// with its mark and the original deleted; an empty folder stays where it is.
// A copy back that was cut short never holds the user's name: the next
// rollback still puts the backup there.
TEST_F(StoreTest, AnotherVolumeCopiesFilesAndKeepsFolders) {
    BackupStore store;
    ActionError error;
    ASSERT_TRUE(BeginUndo(Kept(), "Act", store, error));
    PlatformOverride otherVolume(&Platform::NtSetInformationFile, &OtherVolume);
    WriteText(user + "\\c.dot", "template");
    SetFileAttributesA((user + "\\c.dot").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(test::CreateFolders(user + "\\empty"));
    {
        UniqueFile file = OpenForMove(user + "\\c.dot");
        EXPECT_EQ(store.MoveIn(file.Get(), "00000001"), 0u);
        UniqueFile folder = OpenForMove(user + "\\empty", true);
        EXPECT_EQ(store.MoveIn(folder.Get(), "00000002"), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    }
    EXPECT_FALSE(Exists(user + "\\c.dot"));
    EXPECT_TRUE(Exists(user + "\\empty"));
    EXPECT_EQ(ReadText(store.Path() + "\\00000001"), "template");
    EXPECT_FALSE(Exists(store.Path() + "\\00000001.part"));  // the copy took the name once complete
    UniqueFile target(CreateFileA(user.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE |
                                                    FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    {
        // Cut short after the copy was begun, and left there (a power cut).
        PlatformOverride cut(&Platform::WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
            return SetLastError(ERROR_DISK_FULL), FALSE;
        });
        PlatformOverride kept(&Platform::SetFileInformationByHandle,
                              [](HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) -> BOOL { return FALSE; });
        EXPECT_EQ(store.MoveOut("00000001", target.Get(), "c.dot"), static_cast<DWORD>(ERROR_DISK_FULL));
    }
    EXPECT_FALSE(Exists(user + "\\c.dot"));
    EXPECT_EQ(store.MoveOut("00000001", target.Get(), "c.dot"), 0u);
    EXPECT_EQ(ReadText(user + "\\c.dot"), "template");
    EXPECT_NE(GetFileAttributesA((user + "\\c.dot").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(store.HasBackup("00000001"));
    SetFileAttributesA((user + "\\c.dot").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(store.Clear(), 0u);
}

// A store level whose owner or access list lets others change it is not
// used, and a journal an earlier installation left is set aside, whole.
DWORD WINAPI ForeignOwner(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                          PSECURITY_DESCRIPTOR* descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)", 1, descriptor,
                                                              nullptr))
        return GetLastError();
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

TEST_F(StoreTest, AStoreOthersMayChangeIsNotUsedAndALeftoverIsSetAside) {
    test::InstallerLog log;
    ActionError error;
    BackupStore store;
    EXPECT_FALSE(BeginUndo(TransactionSwitch{}, "Act", store, error));  // no switch: nothing kept, nothing said
    EXPECT_THAT(log.Records(), ::testing::IsEmpty());
    {
        PlatformOverride security(&Platform::GetSecurityInfo, &ForeignOwner);
        EXPECT_FALSE(BeginUndo(Kept(), "Act", store, error));
        EXPECT_FALSE(store.IsOpen());
        EXPECT_EQ(error.Point(), "NFJ3W8QX5TB2KLD");
        EXPECT_EQ(error.Code(), static_cast<int32_t>(ERROR_INVALID_OWNER));
        EXPECT_THAT(log.Records(), ElementsAre("Code: 1307 Point: NFJ3W8QX5TB2KLD (" +
                                               g_windows + "\\Installer\\CustAction\\" + kProduct + "\\Act)"));
    }
    log.Remove();
    ASSERT_TRUE(BeginUndo(Kept(), "Act", store, error));
    ASSERT_EQ(store.Append({"moved", "x", store.NewBackupName()}), 0u);
    ASSERT_EQ(store.WriteBackup("00000001", "kept"), 0u);
    store.Close();
    ASSERT_TRUE(BeginUndo(Kept(), "Act", store, error));
    EXPECT_FALSE(store.HasJournal());
    EXPECT_EQ(store.NewBackupName(), "00000001");
    ASSERT_EQ(log.Records().size(), 1u);
    const std::string record = log.Records()[0];
    EXPECT_THAT(record, HasSubstr("Point: 7QMZK2VH9RDX4TE (" + StorePath("Act") + ")(" + g_windows +
                                  "\\Installer\\CustAction\\" + kProduct + "\\Act-left-"));
    const std::string aside = record.substr(record.rfind('(') + 1, record.size() - record.rfind('(') - 2);
    EXPECT_EQ(ReadText(aside + "\\00000001"), "kept");
    EXPECT_THAT(ReadText(aside + "\\journal"), HasSubstr("moved"));
    // A torn record at the end is written over by the next one.
    WriteText(store.Path() + "\\journal", EncodeJournalRecord({"one"}) + "two\t0000");
    ASSERT_EQ(store.Append({"three"}), 0u);
    std::vector<JournalRecord> records;
    ASSERT_EQ(store.ReadJournal(records), 0u);
    EXPECT_THAT(records, ElementsAre(JournalRecord{"one"}, JournalRecord{"three"}));
    // A power cut in writing over a longer torn record, the disk keeping the
    // new record's end only: still a torn tail, not damage inside.
    WriteText(store.Path() + "\\journal", ReadText(store.Path() + "\\journal") + std::string(40, 'x'));
    {
        PlatformOverride cut(&Platform::WriteFile, [](HANDLE file, LPCVOID data, DWORD size, LPDWORD, LPOVERLAPPED) {
            SetFilePointer(file, static_cast<LONG>(size / 2), nullptr, FILE_CURRENT);
            WriteFile(file, static_cast<const char*>(data) + size / 2, size - size / 2, &size, nullptr);
            return SetLastError(ERROR_NOT_READY), FALSE;
        });
        EXPECT_EQ(store.Append({"four"}), static_cast<DWORD>(ERROR_NOT_READY));
    }
    EXPECT_EQ(store.ReadJournal(records), 0u);
    const std::string backup = store.NewBackupName();
    ASSERT_EQ(store.WriteBackup(backup, "kept"), 0u);
    store.Close();

    // A journal damaged inside hides the records after the damage: it is
    // neither settled nor written over, and the next installation sets it
    // aside whole.
    const std::string intact = ReadText(StorePath("Act") + "\\journal");
    WriteText(StorePath("Act") + "\\journal", intact + "x\t0\n" + EncodeJournalRecord({"moved", "y", backup}));
    test::InstallerSession session;
    session.Set("CustomActionData", std::string("|") + kProduct);
    log.Remove();
    RunUndoAction(session.Handle(), "Act", "READ", "CATCH", [](auto&&...) { return ADD_FAILURE(), true; });
    EXPECT_THAT(log.Records(), ElementsAre("Code: 1392 Point: NFJ3W8QX5TB2KLD (" + StorePath("Act") + ")"));
    ASSERT_EQ(store.OpenExisting(kProduct, "Act"), 0u);
    EXPECT_EQ(store.Append({"more"}), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    store.Close();
    log.Remove();
    ASSERT_TRUE(BeginUndo(Kept(), "Act", store, error));
    ASSERT_THAT(log.Records(), ElementsAre(HasSubstr("Point: 7QMZK2VH9RDX4TE")));
    const std::string damagedAside = log.Records()[0].substr(log.Records()[0].rfind('(') + 1);
    EXPECT_EQ(ReadText(damagedAside.substr(0, damagedAside.size() - 1) + "\\" + backup), "kept");
    ASSERT_EQ(store.Append({"moved", "x", backup}), 0u);
    ASSERT_EQ(store.WriteBackup(backup, "kept"), 0u);
    store.Close();

    // A store that cannot be looked at, listed or read is not taken for
    // none: nothing is appended to a journal it could not read, and the
    // journal stays with the backups it explains.
    {
        PlatformOverride unseen(&Platform::GetFileAttributesA, [](LPCSTR) -> DWORD {
            return SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
        });
        EXPECT_EQ(store.OpenExisting(kProduct, "Act"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    {
        UniqueFile busy(CreateFileA((StorePath("Act") + "\\journal").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(busy);
        log.Remove();
        EXPECT_FALSE(BeginUndo(Kept(), "Act", store, error));
        EXPECT_THAT(log.Records(), ElementsAre("Code: 32 Point: NFJ3W8QX5TB2KLD (" + StorePath("Act") + ")"));
    }
    ASSERT_EQ(store.OpenExisting(kProduct, "Act"), 0u);
    {
        PlatformOverride unlisted(&Platform::FindFirstFileA, [](LPCSTR, LPWIN32_FIND_DATAA) -> HANDLE {
            return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        });
        EXPECT_EQ(store.Clear(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_TRUE(Exists(StorePath("Act") + "\\journal"));
    EXPECT_TRUE(Exists(StorePath("Act") + "\\" + backup));
    EXPECT_EQ(store.Clear(), 0u);
}

// The rollback of an installation whose action has not run yet meets an
// earlier installation's journal: it is set aside whole, not undone; the
// journal of its own run is settled, without the run's record.
TEST_F(StoreTest, AnotherInstallationsJournalIsSetAsideNotSettled) {
    test::InstallerLog log;
    ActionError error;
    BackupStore store;
    ASSERT_TRUE(BeginUndo(Kept("12/9/2026 10:00:00"), "Act", store, error));
    ASSERT_EQ(store.Append({"moved", "x", "00000001"}), 0u);
    store.Close();
    test::InstallerSession session;
    session.Set("CustomActionData", std::string("data|run 12/9/2026 11:00:00|") + kProduct);
    std::vector<std::vector<JournalRecord>> settled;
    const auto settle = [&](const std::string& data, BackupStore&, const std::vector<JournalRecord>& records,
                            ActionError&) {
        EXPECT_EQ(data, "data");
        settled.push_back(records);
        return true;
    };
    EXPECT_EQ(RunUndoAction(session.Handle(), "Act", "READ", "CATCH", settle), 0u);
    EXPECT_TRUE(settled.empty());
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_THAT(log.Records()[0], HasSubstr("Code: 0 Point: 7QMZK2VH9RDX4TE (" + StorePath("Act") + ")("));
    ASSERT_TRUE(BeginUndo(Kept("12/9/2026 11:00:00"), "Act", store, error));
    ASSERT_EQ(store.Append({"moved", "y", "00000001"}), 0u);
    store.Close();
    RunUndoAction(session.Handle(), "Act", "READ", "CATCH", settle);
    EXPECT_THAT(settled, ElementsAre(std::vector<JournalRecord>{{"moved", "y", "00000001"}}));
    EXPECT_FALSE(Exists(StorePath("Act")));
}

}  // namespace
}  // namespace ca
