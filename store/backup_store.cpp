#include "store/backup_store.h"

#include "runtime/file_facts.h"
#include "runtime/properties.h"
#include "runtime/text.h"
#include "runtime/transaction.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace ca {

namespace {

constexpr char kJournal[] = "journal";
constexpr DWORD kFileIsADirectory = 336;  // ERROR_FILE_IS_A_DIRECTORY
constexpr char kStoreRefused[] = "NFJ3W8QX5TB2KLD";
constexpr char kLeftoverSetAside[] = "7QMZK2VH9RDX4TE";
// The first record of a journal: the installation it belongs to.
constexpr char kRunRecord[] = "run";
constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);

// FILE_RENAME_INFORMATION with room for a name of up to 255 characters.
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[256];
};
constexpr FILE_INFORMATION_CLASS kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

bool ToWide(const std::string& name, std::wstring& wide) {
    const int length = Os().MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    if (length <= 0 || length > 255) return false;
    wide.assign(static_cast<size_t>(length), L'\0');
    Os().MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    return true;
}

DWORD StatusError(NTSTATUS status) {
    if (status == kNotImplemented) return ERROR_CALL_NOT_IMPLEMENTED;
    return Os().RtlNtStatusToDosError(status);
}

// Opens or makes `name` directly below the held folder `parent` by that
// single name, not following a reparse point at it.
DWORD OpenRelative(HANDLE parent, const std::string& name, DWORD access, ULONG disposition, bool folder,
                   UniqueFile& file) {
    std::wstring wide;
    if (!ToWide(name, wide)) return ERROR_INVALID_NAME;
    UNICODE_STRING objectName{};
    objectName.Length = objectName.MaximumLength = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    objectName.Buffer = wide.data();
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = parent;
    object.ObjectName = &objectName;
    object.Attributes = OBJ_CASE_INSENSITIVE;
    const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                          (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    IO_STATUS_BLOCK status{};
    HANDLE raw = INVALID_HANDLE_VALUE;
    const NTSTATUS opened = Os().NtCreateFile(&raw, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &status,
                                              nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition, options, nullptr, 0);
    if (opened < 0) return StatusError(opened);
    file.Reset(raw);
    return ERROR_SUCCESS;
}

// Renames the object open on `object` to `name` in the held folder `target`.
DWORD RenameInto(HANDLE object, HANDLE target, const std::string& name) {
    std::wstring wide;
    if (!ToWide(name, wide)) return ERROR_INVALID_NAME;
    RenameInformation info{};
    info.replaceIfExists = FALSE;
    info.rootDirectory = target;
    info.fileNameLength = static_cast<ULONG>(wide.size() * sizeof(wchar_t));
    wmemcpy(info.fileName, wide.data(), wide.size());
    IO_STATUS_BLOCK status{};
    const NTSTATUS renamed = Os().NtSetInformationFile(object, &status, &info, sizeof info, kFileRenameInformation);
    return renamed < 0 ? StatusError(renamed) : ERROR_SUCCESS;
}

DWORD MarkForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (Os().SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
        return ERROR_SUCCESS;
    return Os().GetLastError();
}

DWORD ReadAll(HANDLE file, std::string& bytes) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!Os().ReadFile(file, buffer, sizeof buffer, &read, nullptr)) return Os().GetLastError();
        if (read == 0) return ERROR_SUCCESS;
        bytes.append(buffer, read);
    }
}

DWORD WriteAll(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!Os().WriteFile(file, data, chunk, &written, nullptr)) return Os().GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return ERROR_SUCCESS;
}

// Copies the contents and attributes of the open file `from` into a new file
// `name` of the held folder `target`, flushed. With `kept` the copy stays
// open there (with DELETE and FILE_WRITE_ATTRIBUTES access).
DWORD CopyInto(HANDLE from, HANDLE target, const std::string& name, UniqueFile* kept = nullptr) {
    FileFacts facts;
    if (!ReadFileFacts(from, facts)) return Os().GetLastError();
    std::string bytes;
    LARGE_INTEGER start{};
    if (!Os().SetFilePointerEx(from, start, nullptr, FILE_BEGIN)) return Os().GetLastError();
    DWORD answer = ReadAll(from, bytes);
    if (answer != ERROR_SUCCESS) return answer;
    UniqueFile copy;
    const DWORD marks = facts.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                            FILE_ATTRIBUTE_ARCHIVE);
    answer = OpenRelative(target, name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | DELETE, FILE_CREATE, false, copy);
    if (answer != ERROR_SUCCESS) return answer;
    answer = WriteAll(copy.Get(), bytes.data(), bytes.size());
    if (answer == ERROR_SUCCESS && !Os().FlushFileBuffers(copy.Get())) answer = Os().GetLastError();
    if (answer == ERROR_SUCCESS && marks != 0) {
        // The marks last: a read-only mark at the creation would refuse the
        // writes on some systems.
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = marks;
        if (!Os().SetFileInformationByHandle(copy.Get(), FileBasicInfo, &basic, sizeof basic))
            answer = Os().GetLastError();
    }
    if (answer != ERROR_SUCCESS) MarkForDeletion(copy.Get());
    if (answer == ERROR_SUCCESS && kept) *kept = std::move(copy);
    return answer;
}

// A store folder opened once more for its deletion or move, as it is.
UniqueFile OpenForRemoval(const std::string& path) {
    return UniqueFile(Os().CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Deletes the object `handle` is open on; a read-only mark is cleared first
// when the handle may (and put back when the deletion is refused all the
// same). `marks`, when given, is another handle on the same object through
// which the mark is changed.
DWORD DeleteMarked(HANDLE handle, HANDLE marks = nullptr) {
    if (marks == nullptr) marks = handle;
    DWORD answer = MarkForDeletion(handle);
    if (answer != ERROR_ACCESS_DENIED) return answer;
    FileFacts facts;
    if (!ReadFileFacts(marks, facts) || (facts.attributes & FILE_ATTRIBUTE_READONLY) == 0) return answer;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (facts.attributes & ~FILE_ATTRIBUTE_READONLY) ? facts.attributes & ~FILE_ATTRIBUTE_READONLY
                                                                         : FILE_ATTRIBUTE_NORMAL;
    if (!Os().SetFileInformationByHandle(marks, FileBasicInfo, &basic, sizeof basic)) return answer;
    answer = MarkForDeletion(handle);
    if (answer != ERROR_SUCCESS) {
        basic.FileAttributes = facts.attributes;
        Os().SetFileInformationByHandle(marks, FileBasicInfo, &basic, sizeof basic);
    }
    return answer;
}

std::string UtcStamp() {
    FILETIME now{};
    Os().GetSystemTimeAsFileTime(&now);
    SYSTEMTIME time{};
    Os().FileTimeToSystemTime(&now, &time);
    return StringPrintf("%04u%02u%02u-%02u%02u%02u-%03u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                        time.wSecond, time.wMilliseconds);
}

}  // namespace

std::string StoreRootPath() {
    char windows[MAX_PATH + 1] = {};
    const UINT length = Os().GetSystemWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return std::string();
    std::string folder = windows;
    if (folder.back() != '\\') folder += '\\';
    return folder + "Installer\\CustAction";
}

void BackupStore::Close() {
    journal_.Reset();
    folder_ = ProtectedFolder{};
    product_ = ProtectedFolder{};
    nextBackup_ = 0;
}

DWORD BackupStore::OpenChain(const std::string& productCode, const std::string& action, bool create) {
    Close();
    action_ = action;
    const std::string root = StoreRootPath();
    if (root.empty() || productCode.empty() || action.empty()) return ERROR_PATH_NOT_FOUND;
    const std::string productPath = root + "\\" + productCode;
    const std::string actionPath = productPath + "\\" + action;
    if (!create) {
        // Nothing is made for a look: a store that is not there is no store.
        const DWORD attributes = Os().GetFileAttributesA(actionPath.c_str());
        // Any other answer is no proof that there is none: the rollback
        // then says so and leaves the store, rather than passing it over.
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = Os().GetLastError();
            return error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : error;
        }
    }
    ProtectedFolder top;
    DWORD answer = OpenProtectedFolder(root, top);
    if (answer == ERROR_SUCCESS) answer = OpenProtectedFolder(productPath, product_);
    // Held without DELETE access, so that listing it by name still works
    // (a listing shares no deletion on some systems); it is opened once more
    // for its own removal or move.
    const DWORD access = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE |
                         FILE_DELETE_CHILD;
    if (answer == ERROR_SUCCESS) answer = OpenProtectedFolder(actionPath, folder_, access);
    if (answer != ERROR_SUCCESS) Close();
    return answer;
}

DWORD BackupStore::Create(const std::string& productCode, const std::string& action) {
    return OpenChain(productCode, action, true);
}

DWORD BackupStore::OpenExisting(const std::string& productCode, const std::string& action) {
    return OpenChain(productCode, action, false);
}

DWORD BackupStore::OpenInStore(const std::string& name, DWORD access, ULONG disposition, bool folder,
                               UniqueFile& file) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    return OpenRelative(folder_.handle.Get(), name, access, disposition, folder, file);
}

DWORD BackupStore::ReadJournal(std::vector<JournalRecord>& records) {
    records.clear();
    journal_.Reset();  // it shares no writing
    UniqueFile journal;
    const DWORD answer = OpenInStore(kJournal, GENERIC_READ, FILE_OPEN, false, journal);
    if (answer == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (answer != ERROR_SUCCESS) return answer;
    std::string bytes;
    const DWORD read = ReadAll(journal.Get(), bytes);
    if (read != ERROR_SUCCESS) return read;
    size_t intact = 0;
    records = DecodeJournal(bytes, &intact);
    if (IsDamagedInside(bytes, intact)) {
        records.clear();
        return ERROR_FILE_CORRUPT;
    }
    return ERROR_SUCCESS;
}

bool BackupStore::HasJournal() {
    std::vector<JournalRecord> records;
    return ReadJournal(records) == ERROR_SUCCESS && !records.empty();
}

DWORD BackupStore::Append(const JournalRecord& record) {
    DWORD answer = ERROR_SUCCESS;
    if (!journal_) {
        answer = OpenInStore(kJournal, GENERIC_READ | GENERIC_WRITE, FILE_OPEN_IF, false, journal_);
        if (answer != ERROR_SUCCESS) return answer;
        // After the last intact record: a torn one is written over.
        std::string bytes;
        answer = ReadAll(journal_.Get(), bytes);
        if (answer != ERROR_SUCCESS) {
            journal_.Reset();
            return answer;
        }
        size_t intact = 0;
        DecodeJournal(bytes, &intact);
        // Written over, the records after the damage would be lost.
        if (IsDamagedInside(bytes, intact)) answer = ERROR_FILE_CORRUPT;
        if (answer != ERROR_SUCCESS) {
            journal_.Reset();
            return answer;
        }
        journalEnd_ = intact;
        journalSize_ = bytes.size();
    }
    const std::string line = EncodeJournalRecord(record);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(journalEnd_);
    if (!Os().SetFilePointerEx(journal_.Get(), at, nullptr, FILE_BEGIN)) answer = Os().GetLastError();
    // A torn record is cut off for good before the next is written in its
    // place: a power cut in that write then leaves a torn record alone at
    // the end, never the new record's end before the rest of the old one,
    // which would read as damage inside.
    if (answer == ERROR_SUCCESS && journalEnd_ < journalSize_ &&
        (!Os().SetEndOfFile(journal_.Get()) || !Os().FlushFileBuffers(journal_.Get())))
        answer = Os().GetLastError();
    if (answer == ERROR_SUCCESS) answer = WriteAll(journal_.Get(), line.data(), line.size());
    if (answer == ERROR_SUCCESS && !Os().FlushFileBuffers(journal_.Get())) answer = Os().GetLastError();
    if (answer != ERROR_SUCCESS) {
        journal_.Reset();  // the next record looks at the file again
        return answer;
    }
    journalEnd_ += line.size();
    journalSize_ = journalEnd_;  // anything after it was cut off above
    return ERROR_SUCCESS;
}

std::string BackupStore::NewBackupName() {
    if (nextBackup_ == 0) {
        // Past every name in use, those of a store in use before included.
        nextBackup_ = 1;
        WIN32_FIND_DATAA data{};
        UniqueFind search(Os().FindFirstFileA((Path() + "\\*").c_str(), &data));
        if (search) {
            do {
                unsigned number = 0;
                char rest = 0;
                if (std::strlen(data.cFileName) == 8 && std::sscanf(data.cFileName, "%8u%c", &number, &rest) == 1 &&
                    number >= nextBackup_)
                    nextBackup_ = number + 1;
            } while (Os().FindNextFileA(search.Get(), &data));
        }
    }
    return StringPrintf("%08u", nextBackup_++);
}

DWORD BackupStore::WriteBackup(const std::string& name, const std::string& bytes) {
    UniqueFile file;
    DWORD answer = OpenInStore(name, GENERIC_WRITE | DELETE, FILE_CREATE, false, file);
    if (answer != ERROR_SUCCESS) return answer;
    answer = WriteAll(file.Get(), bytes.data(), bytes.size());
    if (answer == ERROR_SUCCESS && !Os().FlushFileBuffers(file.Get())) answer = Os().GetLastError();
    if (answer != ERROR_SUCCESS) MarkForDeletion(file.Get());
    return answer;
}

DWORD BackupStore::ReadBackup(const std::string& name, std::string& bytes) {
    UniqueFile file;
    const DWORD answer = OpenInStore(name, GENERIC_READ, FILE_OPEN, false, file);
    if (answer != ERROR_SUCCESS) return answer;
    return ReadAll(file.Get(), bytes);
}

bool BackupStore::HasBackup(const std::string& name) {
    if (!IsOpen()) return false;
    return Os().GetFileAttributesA((Path() + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD BackupStore::MoveIn(HANDLE object, const std::string& name) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    const DWORD renamed = RenameInto(object, folder_.handle.Get(), name);
    if (renamed != ERROR_NOT_SAME_DEVICE) return renamed;
    FileFacts facts;
    if (!ReadFileFacts(object, facts)) return Os().GetLastError();
    if (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_NOT_SAME_DEVICE;
    // The copy takes the backup's name only once it is complete and flushed:
    // a copy a power cut tore off is never taken for the backup (the store's
    // clearing deletes it with the rest).
    UniqueFile copy;
    DWORD answer = CopyInto(object, folder_.handle.Get(), name + ".part", &copy);
    if (answer == ERROR_SUCCESS) {
        answer = RenameInto(copy.Get(), folder_.handle.Get(), name);
        if (answer != ERROR_SUCCESS) DeleteMarked(copy.Get());
    }
    copy.Reset();
    if (answer != ERROR_SUCCESS) return answer;
    answer = DeleteMarked(object);
    if (answer != ERROR_SUCCESS) DeleteInStore(name);  // the original stays: no second copy kept
    return answer;
}

DWORD BackupStore::MoveOut(const std::string& name, HANDLE target, const std::string& targetName) {
    UniqueFile backup;
    DWORD answer = OpenInStore(name, DELETE | GENERIC_READ, FILE_OPEN, false, backup);
    if (answer == kFileIsADirectory || answer == ERROR_DIRECTORY || answer == ERROR_ACCESS_DENIED) {
        answer = OpenInStore(name, DELETE, FILE_OPEN, true, backup);
    }
    if (answer == ERROR_PATH_NOT_FOUND) answer = ERROR_FILE_NOT_FOUND;
    if (answer != ERROR_SUCCESS) return answer;
    const DWORD renamed = RenameInto(backup.Get(), target, targetName);
    if (renamed == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
    if (renamed != ERROR_NOT_SAME_DEVICE) return renamed;
    // Across volumes the copy is made under a passing name of its own and
    // takes `targetName` only once it is complete and flushed: a copy that a
    // power cut tore off never holds the name, so the next rollback still
    // puts the backup there (a torn passing copy stays beside it).
    UniqueFile copy;
    for (unsigned attempt = 0;; ++attempt) {
        const std::string passing = StringPrintf("~%s-%s-%u.tmp", name.c_str(), UtcStamp().c_str(), attempt);
        answer = CopyInto(backup.Get(), target, passing, &copy);
        if ((answer != ERROR_ALREADY_EXISTS && answer != ERROR_FILE_EXISTS) || attempt == 9) break;
    }
    if (answer != ERROR_SUCCESS) return answer;
    answer = RenameInto(copy.Get(), target, targetName);
    if (answer != ERROR_SUCCESS) {
        DeleteMarked(copy.Get());
        return answer == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : answer;
    }
    copy.Reset();
    backup.Reset();
    return DeleteInStore(name);
}

DWORD BackupStore::DeleteInStore(const std::string& name) {
    UniqueFile object;
    DWORD answer = OpenInStore(name, DELETE | FILE_WRITE_ATTRIBUTES, FILE_OPEN, false, object);
    // A read-only file where a handle may not change attributes (Wine run
    // by an ordinary user): its mark is taken off by name below.
    if (answer == ERROR_ACCESS_DENIED) answer = OpenInStore(name, DELETE, FILE_OPEN, false, object);
    if (answer == kFileIsADirectory || answer == ERROR_DIRECTORY || answer == ERROR_ACCESS_DENIED)
        answer = OpenInStore(name, DELETE, FILE_OPEN, true, object);
    if (answer != ERROR_SUCCESS) return answer;
    answer = DeleteMarked(object.Get());
    if (answer == ERROR_ACCESS_DENIED) {
        // Where the held handle may not clear the mark (Wine run by an
        // ordinary user; a moved-in file whose owner denies it): through
        // the name opened afresh without following a link, and only when
        // that is the object held.
        const UniqueFile named = ReopenSameFile(Path() + "\\" + name, object.Get());
        if (named) answer = DeleteMarked(object.Get(), named.Get());
    }
    return answer;
}

DWORD BackupStore::Clear() {
    if (!IsOpen()) return ERROR_SUCCESS;
    journal_.Reset();
    DWORD failed = ERROR_SUCCESS;
    std::vector<std::string> names;
    WIN32_FIND_DATAA data{};
    // Only a complete listing lets the journal go: a backup the listing
    // missed would stay without the journal that explains it.
    UniqueFind search(Os().FindFirstFileA((Path() + "\\*").c_str(), &data));
    if (!search) {
        const DWORD error = Os().GetLastError();
        return error == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : error;
    }
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != ".." && name != kJournal) names.push_back(name);
    } while (Os().FindNextFileA(search.Get(), &data));
    const DWORD listed = Os().GetLastError();
    if (listed != ERROR_NO_MORE_FILES) return listed == ERROR_SUCCESS ? ERROR_NO_MORE_FILES : listed;
    search.Reset();
    for (const std::string& name : names) {
        const DWORD answer = DeleteInStore(name);
        if (answer != ERROR_SUCCESS && answer != ERROR_FILE_NOT_FOUND) failed = answer;
    }
    // The journal goes last, and only when every backup went: a store that
    // keeps a backup keeps the journal that explains it.
    if (failed != ERROR_SUCCESS) return failed;
    DWORD answer = DeleteInStore(kJournal);
    if (answer != ERROR_SUCCESS && answer != ERROR_FILE_NOT_FOUND) return answer;
    const std::string actionPath = folder_.finalPath;
    folder_ = ProtectedFolder{};
    UniqueFile self = OpenForRemoval(actionPath);
    if (!self) return Os().GetLastError();
    answer = MarkForDeletion(self.Get());
    if (answer != ERROR_SUCCESS) return answer;
    self.Reset();
    // The product's folder goes when no other action's store is left in it.
    if (product_.handle) {
        const std::string productPath = product_.finalPath;
        product_ = ProtectedFolder{};
        UniqueFile product = OpenForRemoval(productPath);
        if (product) MarkForDeletion(product.Get());  // fails with 145 while other stores are there
    }
    Close();
    return ERROR_SUCCESS;
}

DWORD BackupStore::SetAside(std::string& aside) {
    if (!IsOpen() || !product_.handle) return ERROR_INVALID_HANDLE;
    journal_.Reset();
    const std::string name = action_ + "-left-" + UtcStamp();
    const std::string actionPath = folder_.finalPath;
    folder_ = ProtectedFolder{};
    UniqueFile self = OpenForRemoval(actionPath);
    if (!self) return Os().GetLastError();
    const DWORD answer = RenameInto(self.Get(), product_.handle.Get(), name);
    if (answer != ERROR_SUCCESS) return answer;
    aside = product_.finalPath + "\\" + name;
    return ERROR_SUCCESS;
}

bool BeginUndo(const TransactionSwitch& transaction, const char* action, BackupStore& store, ActionError& error) {
    store.Close();
    const std::string& productCode = transaction.productCode;
    if (productCode.empty()) return false;
    const std::string path = StoreRootPath() + "\\" + productCode + "\\" + action;
    DWORD answer = store.Create(productCode, action);
    // A journal that cannot be read is no proof that there is none: records
    // appended to it would mix two installations.
    // One damaged inside is set aside whole as well.
    std::vector<JournalRecord> leftover;
    DWORD read = ERROR_SUCCESS;
    if (answer == ERROR_SUCCESS) {
        read = store.ReadJournal(leftover);
        if (read != ERROR_FILE_CORRUPT) answer = read;
    }
    if (answer == ERROR_SUCCESS && (read == ERROR_FILE_CORRUPT || !leftover.empty())) {
        std::string aside;
        answer = store.SetAside(aside);
        if (answer == ERROR_SUCCESS) {
            error.RecordError(kLeftoverSetAside, ERROR_SUCCESS, nullptr,
                              StringPrintf("(%s)(%s)", path.c_str(), aside.c_str()));
            answer = store.Create(productCode, action);
        }
    }
    // The journal starts with the installation it belongs to.
    if (answer == ERROR_SUCCESS && !transaction.run.empty()) answer = store.Append({kRunRecord, transaction.run});
    if (answer != ERROR_SUCCESS) {
        store.Close();
        error.RecordError(kStoreRefused, static_cast<int32_t>(answer), nullptr, StringPrintf("(%s)", path.c_str()));
        return false;
    }
    return true;
}

UINT RunUndoAction(MSIHANDLE install, const char* action, const char* readPoint, const char* catchAllPoint,
                   const std::function<bool(const std::string& data, BackupStore& store,
                                            const std::vector<JournalRecord>& records, ActionError& error)>& settle) {
    ActionError error;
    RunActionBody(error, catchAllPoint, [&] {
        std::string parameters;
        if (!GetStringProperty(install, "CustomActionData", parameters, error)) {
            error.PrependPoint(readPoint);
            ThrowFailure();
        }
        const TransactionSwitch split = SplitTransactionSwitch(parameters);
        if (split.productCode.empty()) return;
        BackupStore store;
        const DWORD answer = store.OpenExisting(split.productCode, action);
        if (answer == ERROR_FILE_NOT_FOUND || answer == ERROR_PATH_NOT_FOUND) {
            // An action ended before its own folder was made leaves the
            // product's folder empty: it goes too (not when it holds more).
            const std::string root = StoreRootPath();
            if (!root.empty()) {
                UniqueFile product = OpenForRemoval(root + "\\" + split.productCode);
                if (product) MarkForDeletion(product.Get());
            }
            return;
        }
        if (answer != ERROR_SUCCESS) {
            error.RecordError(kStoreRefused, static_cast<int32_t>(answer), nullptr,
                              StringPrintf("(%s)", (StoreRootPath() + "\\" + split.productCode + "\\" + action).c_str()));
            ThrowFailure();
        }
        std::vector<JournalRecord> records;
        const DWORD read = store.ReadJournal(records);
        if (read != ERROR_SUCCESS) {
            error.RecordError(kStoreRefused, static_cast<int32_t>(read), nullptr, StringPrintf("(%s)", store.Path().c_str()));
            ThrowFailure();
        }
        // The journal of another installation: this one's action has not run
        // yet, and an earlier one neither rolled back nor committed. It is
        // not this rollback's to undo, nor this commit's to delete.
        if (!records.empty() && records.front().size() == 2 && records.front()[0] == kRunRecord) {
            if (!split.run.empty() && records.front()[1] != split.run) {
                const std::string path = store.Path();
                std::string aside;
                const DWORD setAside = store.SetAside(aside);
                if (setAside == ERROR_SUCCESS)
                    error.RecordError(kLeftoverSetAside, ERROR_SUCCESS, nullptr,
                                      StringPrintf("(%s)(%s)", path.c_str(), aside.c_str()));
                else
                    error.RecordError(kStoreRefused, static_cast<int32_t>(setAside), nullptr,
                                      StringPrintf("(%s)", path.c_str()));
                return;
            }
            records.erase(records.begin());
        }
        if (settle(split.data, store, records, error)) {
            const std::string path = store.Path();
            const DWORD cleared = store.Clear();
            if (cleared != ERROR_SUCCESS)
                error.RecordError(kStoreRefused, static_cast<int32_t>(cleared), nullptr,
                                  StringPrintf("(%s)", path.c_str()));
        }
    });
    return ERROR_SUCCESS;
}

}  // namespace ca
