// The undo store of the deferred actions that change the machine: for one
// product and one action, a folder that only SYSTEM and Administrators (and
// the account running the action) can change, holding the action's journal
// and the backups it names:
//
//     <Windows>\Installer\CustAction\<ProductCode>\<Action>   (a folder)
//         journal       the records, one line each (store/journal_text.h)
//         00000001 ...  backups: moved-in files and folders, saved key trees
//
// Every level is created with an explicit protected access list, or taken
// only when its owner and access list prove it protected
// (runtime/protected_folder.h). The forward action writes each record and
// flushes it before the change it describes; the installation's rollback
// action reads the journal and undoes, its commit action deletes the store.
#pragma once

#include "runtime/action_error.h"
#include "runtime/handles.h"
#include "runtime/protected_folder.h"
#include "runtime/transaction.h"
#include "store/journal_text.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ca {

// <Windows>\Installer\CustAction, below which every store lies; empty when
// the Windows folder cannot be told.
std::string StoreRootPath();

class BackupStore {
public:
    BackupStore() = default;
    BackupStore(const BackupStore&) = delete;
    BackupStore& operator=(const BackupStore&) = delete;

    // The forward action's store, created where missing. Answers 0 with the
    // store open, or why it cannot be used (OpenProtectedFolder's answers).
    DWORD Create(const std::string& productCode, const std::string& action);
    // The existing store only (rollback, commit): ERROR_FILE_NOT_FOUND or
    // ERROR_PATH_NOT_FOUND when there is none; a look that fails otherwise
    // answers its error, as a store that cannot be used.
    DWORD OpenExisting(const std::string& productCode, const std::string& action);
    bool IsOpen() const { return static_cast<bool>(folder_.handle); }
    void Close();
    // The action's folder (its final path) and its held handle.
    const std::string& Path() const { return folder_.finalPath; }
    HANDLE Folder() const { return folder_.handle.Get(); }

    // The intact records of the journal, in order (none when there is no
    // journal); ERROR_FILE_CORRUPT, and none, for a journal damaged inside
    // (IsDamagedInside), whose later records cannot be seen.
    DWORD ReadJournal(std::vector<JournalRecord>& records);
    // Appends one record and flushes it to the disk before answering; a
    // torn record a power cut left at the end is written over, a journal
    // damaged inside never (ERROR_FILE_CORRUPT).
    DWORD Append(const JournalRecord& record);
    // Whether the journal holds any record.
    bool HasJournal();

    // A backup name not used in this store yet ("00000001", ...).
    std::string NewBackupName();
    // A new backup file with `bytes`, flushed.
    DWORD WriteBackup(const std::string& name, const std::string& bytes);
    DWORD ReadBackup(const std::string& name, std::string& bytes);
    // Whether a backup of that name is in the store.
    bool HasBackup(const std::string& name);

    // Moves the object open on `object` (a file, or an empty folder, opened
    // with DELETE; a file also with GENERIC_READ and FILE_WRITE_ATTRIBUTES,
    // for another volume) into the store as backup `name`: a rename by
    // handle, which keeps everything of the object (its access list and
    // marks included); a file on another volume is copied (contents and
    // marks) and then deleted through `object`. An empty folder on another volume answers
    // ERROR_NOT_SAME_DEVICE and stays.
    DWORD MoveIn(HANDLE object, const std::string& name);
    // Moves backup `name` into the held folder `target` under the single
    // name `targetName`, never replacing: ERROR_ALREADY_EXISTS when the name
    // is taken, ERROR_FILE_NOT_FOUND when there is no such backup (never
    // moved in, or moved back already). Across volumes a file is copied
    // under a passing name ("~<name>-<time>-<n>.tmp"), renamed to `targetName`
    // when complete, and the backup deleted.
    DWORD MoveOut(const std::string& name, HANDLE target, const std::string& targetName);

    // Deletes every backup and the journal (the journal last, and only when
    // the store could be listed whole and every backup went), then the
    // action's folder, and the product's folder when it is left empty.
    DWORD Clear();
    // Moves the whole store aside, beside it, under "<Action>-left-<time>":
    // an earlier installation's, which neither rolled back nor committed.
    // `aside` receives its new path.
    DWORD SetAside(std::string& aside);

private:
    DWORD OpenChain(const std::string& productCode, const std::string& action, bool create);
    DWORD OpenInStore(const std::string& name, DWORD access, ULONG disposition, bool folder, UniqueFile& file);
    DWORD DeleteInStore(const std::string& name);

    ProtectedFolder product_;  // <root>\<ProductCode>
    ProtectedFolder folder_;   // <root>\<ProductCode>\<Action>
    std::string action_;
    unsigned nextBackup_ = 0;  // 0: not counted yet
    // The journal, held open by Append between records (read once, not
    // again for every record), with where its intact records end and its size.
    UniqueFile journal_;
    uint64_t journalEnd_ = 0;
    uint64_t journalSize_ = 0;
};

// The start of a forward action that keeps its undo. Without the switch
// (`productCode` empty) it answers false and logs nothing: the action keeps
// nothing, as before. With it, the action's store is created; a store that
// cannot be used is logged ("NFJ3W8QX5TB2KLD", its answer, extra "(<store
// path>)") and the answer is false: the action runs without keeping its
// undo, as before (so does a journal that cannot be read). A journal found
// in the store is an earlier installation's that neither rolled back nor
// committed (a power cut, a killed process): that store is set aside, never
// undone nor deleted ("7QMZK2VH9RDX4TE", code 0, extra "(<store>)(<where it
// was set aside>)"), and a new one is made; so is a journal damaged inside.
// The switch's run (TransactionSwitch::run) is the journal's first record:
// the rollback or commit of another installation never settles this journal
// (see RunUndoAction).
bool BeginUndo(const TransactionSwitch& transaction, const char* action, BackupStore& store, ActionError& error);

// What a rollback or commit does with the journal of its store. Answers
// whether the store may be deleted now (everything was put back, or
// nothing must be kept); a false answer keeps the store, journal and
// backups, for the next look.
using SettleJournal = std::function<bool(BackupStore& store, const std::vector<JournalRecord>& records,
                                         ActionError& error)>;

// The body of a rollback or commit entry point: reads CustomActionData
// (failure: `readPoint`), and with the transaction switch at its end opens
// the action's existing store and hands its journal to `settle`; the store
// is deleted when `settle` answers true. Nothing happens without the
// switch or without a store; a store that cannot be used is logged
// ("NFJ3W8QX5TB2KLD"). A journal that names another run than the switch
// (the forward action of this installation has not run yet, and the store is
// an earlier installation's that neither rolled back nor committed) is not
// settled: it is set aside as BeginUndo sets it aside ("7QMZK2VH9RDX4TE").
// `settle` receives the action's own data in `data`, and the records after
// the run's. Any exception: `catchAllPoint`. Always ERROR_SUCCESS.
UINT RunUndoAction(MSIHANDLE install, const char* action, const char* readPoint, const char* catchAllPoint,
                   const std::function<bool(const std::string& data, BackupStore& store,
                                            const std::vector<JournalRecord>& records, ActionError& error)>& settle);

// The body of a commit entry point: RunUndoAction whose settling is to
// delete the store with everything kept in it.
inline UINT RunCommitAction(MSIHANDLE install, const char* action, const char* readPoint, const char* catchAllPoint) {
    return RunUndoAction(install, action, readPoint, catchAllPoint,
                         [](const std::string&, BackupStore&, const std::vector<JournalRecord>&, ActionError&) {
                             return true;
                         });
}

// The name of a forward action's rollback and commit entry points.
inline std::string RollbackName(const char* action) { return std::string(action) + "Rollback"; }
inline std::string CommitName(const char* action) { return std::string(action) + "Commit"; }

}  // namespace ca
