// DelMultiUserData (deferred): removes the application's per-user data from
// every user profile of the machine, users who are not logged on included:
// a key tree and a key left empty in the user's registry, the application's
// files in the user's AppData folder and that folder when it is empty.
//
// With the transaction switch ("|{ProductCode}" after its data) it keeps
// its undo in the store of the installation (store/backup_store.h): before
// a user's keys go, the tree is saved and a record "keys" written; a file
// or the emptied folder is moved into the store, after its record "file" or
// "folder", rather than deleted. What is removed is the same either way.
// DelMultiUserDataRollback puts everything back, DelMultiUserDataCommit
// deletes the store.
//
// The records, one profile's in the order of the removal:
//     keys    <key name> <tree key below the user's root, empty: not there> <backup holding the
//             saved tree, or empty> <the saved tree in hexadecimal when it is small, in place
//             of a backup> <empty-only key, empty: not there>
//     file    <key name> <final path of the folder> <file name> <backup>
//     folder  <key name> <final path of the folder> <backup>
#include "actions/action.h"
#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/profile_walk.h"
#include "actions/users/text/input_text.h"
#include "actions/users/user_data.h"
#include "runtime/file_facts.h"
#include "runtime/handles.h"
#include "runtime/properties.h"
#include "runtime/text.h"
#include "runtime/transaction.h"
#include "store/backup_store.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace ca;

constexpr char kAction[] = "DelMultiUserData";
constexpr char kBackupUnwritten[] = "4C61DW1ZCOYTT9J";
constexpr char kRecordUnwritten[] = "MW2MB29SXFOQMCB";

// Writes a record of the store before the change it describes; false: the
// change must not be made (recorded).
bool Note(BackupStore& store, const JournalRecord& record, ActionError& error) {
    const DWORD answer = store.Append(record);
    if (answer == ERROR_SUCCESS) return true;
    error.RecordError(kRecordUnwritten, static_cast<int32_t>(answer), nullptr, StringPrintf("(%s)", store.Path().c_str()));
    return false;
}

// A tree up to this size is kept in its record, in hexadecimal: one
// write to the disk per user rather than two.
constexpr size_t kTreeInRecord = 4096;

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * bytes.size());
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool FromHex(const std::string& text, std::string& bytes) {
    const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// Whether `key` is `path` or a key above it, its names compared as the
// registry compares ASCII letters; a false answer only costs a look.
bool IsAtOrAbove(const std::string& key, const std::string& path) {
    if (key.size() > path.size() || (key.size() < path.size() && path[key.size()] != '\\')) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        if (fold(key[i]) != fold(path[i])) return false;
    }
    return true;
}

// Before the user's keys are removed, with a store: one record for both, the
// tree found (`tree`, its saved form; null: the tree is not there) and the
// empty-only key when it is there (put back as an empty key if it is
// missing then). False (recorded): nothing may be removed, as nothing could
// bring it back.
bool KeepKeys(BackupStore& store, const UserProfile& profile, const RemovalItems& items, const std::string* tree,
              ActionError& error) {
    // Found on the way to the tree, it is there as itself.
    bool emptyOnly = tree != nullptr && IsAtOrAbove(items.emptyOnlyKey, items.treeKey);
    if (!emptyOnly) {
        const int probe = ProbeKey(HKEY_USERS, profile.keyName + "\\" + items.emptyOnlyKey, error);
        if (probe < 0) return false;
        emptyOnly = probe > 0;
    }
    if (tree == nullptr && !emptyOnly) return true;
    std::string backup, inRecord;
    if (tree != nullptr && tree->size() <= kTreeInRecord) {
        inRecord = ToHex(*tree);
    } else if (tree != nullptr) {
        backup = store.NewBackupName();
        if (const DWORD written = store.WriteBackup(backup, *tree); written != ERROR_SUCCESS) {
            error.RecordError(kBackupUnwritten, static_cast<int32_t>(written), nullptr,
                              StringPrintf("(%s)(%s)", store.Path().c_str(), backup.c_str()));
            return false;
        }
    }
    return Note(store,
                {"keys", profile.keyName, tree != nullptr ? items.treeKey : std::string(), backup, inRecord,
                 emptyOnly ? items.emptyOnlyKey : std::string()},
                error);
}

// Whether the folder open on `folder` (for listing) holds nothing: listed
// through the handle, as a look by its path would not share the handle's
// deletion access.
bool IsEmptyFolder(HANDLE folder) {
    alignas(8) char buffer[4096];
    bool restart = true;
    for (;;) {
        if (!Os().GetFileInformationByHandleEx(folder, restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                               buffer, sizeof buffer))
            return Os().GetLastError() == ERROR_NO_MORE_FILES;
        restart = false;
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") return false;
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
}

// The application's files in its held, proven folder, from the last found
// to the first, then the folder itself when it has become empty. Each file
// is opened by its single name relative to the held folder, proven to lie
// right there with a single name, and deleted through that handle; the
// folder, proven in place once more, through a handle of its own. No file
// is opened by a path through the user's folders, which a mount point or
// link planted after the proof would lead elsewhere. Folders among the
// entries (and "." and "..") are passed over; results are not examined, so
// a file that is read-only or in use stays, and so does the folder.
// With a store, each file and the emptied folder are moved into it after
// their records instead; a read-only file, which a deletion would not
// remove, stays. False (recorded): a record could not be written, and the
// rest stays.
bool DeleteFiles(UniqueFile folder, const std::string& appFolder, const std::string& pattern, BackupStore* store,
                 const std::string& keyName, ActionError& error) {
    const std::string folderFinal = FinalPathOf(folder.Get());
    if (folderFinal.empty()) return true;
    std::vector<std::string> found;
    if (!pattern.empty()) {
        // The names are looked up below the folder's proven final path.
        WIN32_FIND_DATAA data{};
        UniqueFind search(Os().FindFirstFileA((folderFinal + "\\" + pattern).c_str(), &data));
        if (search) {
            do {
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) found.emplace_back(data.cFileName);
            } while (Os().FindNextFileA(search.Get(), &data));
        }
    }
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        UniqueFile file;
        if (store == nullptr) {
            if (OpenChild(folder.Get(), folderFinal, *it, DELETE, FILE_OPEN, ObjectKind::File, file) == ERROR_SUCCESS)
                DeleteByHandle(file.Get());
            continue;
        }
        if (OpenChild(folder.Get(), folderFinal, *it, DELETE | GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                      ObjectKind::File, file) != ERROR_SUCCESS)
            continue;
        FileFacts facts;
        if (!ReadFileFacts(file.Get(), facts) || (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0) continue;
        const std::string backup = store->NewBackupName();
        if (!Note(*store, {"file", keyName, folderFinal, *it, backup}, error)) return false;
        store->MoveIn(file.Get(), backup);  // not examined, as a deletion is not
    }
    // The folder is let go only to be opened for its own deletion, proven
    // in place once more.
    folder.Reset();
    UniqueFile self;  // stays when it still has content
    if (OpenInPlace(appFolder, DELETE, OPEN_EXISTING, ObjectKind::Folder, self) != ERROR_SUCCESS) return true;
    if (store == nullptr) {
        DeleteByHandle(self.Get());
        return true;
    }
    // A rename would take content along: only an empty folder goes.
    const std::string selfFinal = FinalPathOf(self.Get());
    if (selfFinal.empty() || !IsEmptyFolder(self.Get())) return true;
    const std::string backup = store->NewBackupName();
    if (!Note(*store, {"folder", keyName, selfFinal, backup}, error)) return false;
    store->MoveIn(self.Get(), backup);  // another volume: it stays
    return true;
}

// The steps for one profile; the first that fails ends the profile.
bool RemoveUserData(const UserProfile& profile, const RemovalItems& items, BackupStore* store, ActionError& error) {
    // With a store, the tree is read and kept on the way to its removal.
    bool kept = store == nullptr;
    const auto keep = [&](const std::string& tree) { return kept = KeepKeys(*store, profile, items, &tree, error); };
    // The empty-only key above the tree, named alike, stays open from the
    // way down to the tree.
    HeldLevel above;
    if (items.emptyOnlyKey.size() < items.treeKey.size() && items.treeKey[items.emptyOnlyKey.size()] == '\\' &&
        items.treeKey.compare(0, items.emptyOnlyKey.size(), items.emptyOnlyKey) == 0)
        above.length = profile.keyName.size() + 1 + items.emptyOnlyKey.size();
    // A link key is left as it is and logged; the user's other steps go on.
    const KeyRemoval tree =
        DeleteKeyTree(HKEY_USERS, profile.keyName + "\\" + items.treeKey, error,
                      store != nullptr ? std::function<bool(const std::string&)>(keep) : nullptr, &above);
    if (tree != KeyRemoval::Done) error.PrependPoint("N2VBF5GVTXCC427");
    if (tree == KeyRemoval::Failed) return false;
    // No tree was there: the empty-only key is kept on its own.
    if (!kept && !KeepKeys(*store, profile, items, nullptr, error)) {
        error.PrependPoint("TKS8ENS99HGUE7S");
        return false;
    }
    const KeyRemoval emptyOnly =
        DeleteKeyIfEmpty(HKEY_USERS, profile.keyName + "\\" + items.emptyOnlyKey, error, &above);
    if (emptyOnly != KeyRemoval::Done) error.PrependPoint("TKS8ENS99HGUE7S");
    if (emptyOnly == KeyRemoval::Failed) return false;
    // "%USERPROFILE%" stands for the profile folder where the walk proved it.
    const std::string& home = profile.profileFinal.empty() ? profile.profileFolder : profile.profileFinal;
    std::string appData;
    if (!ReadUserAppDataFolder(profile.keyName, home, appData, error)) {
        error.PrependPoint("MSR5LRX99VL7M8Z");
        return false;
    }
    // Paths built from an empty folder would be relative to the current drive.
    if (appData.empty()) return true;
    const std::string appFolder = appData + "\\" + items.appFolder;
    // The value is the user's to write: only a folder inside the user's own
    // profile is served. Any other place (another folder of the machine,
    // another drive, a network path, another user's profile) is not looked
    // at. The proven folder stays held, not to be renamed, while its files go.
    UniqueFile look;
    switch (CheckUserFolderPlace(appFolder, profile.profileFinal, 0, look, error)) {
    case FolderPlace::Missing:
        return true;  // nothing to remove
    case FolderPlace::Refused:
        // Elsewhere, or reached through a link: what is there is not the user's.
        error.PrependPoint("MSR5LRX99VL7M8Z");
        return false;
    case FolderPlace::InPlace:
        break;
    }
    return DeleteFiles(std::move(look), appFolder, items.filePattern, store, profile.keyName, error);
}

}  // namespace

CA_ACTION DelMultiUserData(MSIHANDLE install) {
    ActionScope scope(install, "DelMultiUserData");
    ActionError error;
    RunActionBody(error, "8TWBI2KBMJFMWTH", [&] {
        std::string parameters;
        if (!GetStringProperty(install, "CustomActionData", parameters, error)) {
            error.PrependPoint("P9787KWWKWBI572");
            ThrowFailure();
        }
        const TransactionSwitch transaction = SplitTransactionSwitch(parameters);
        const std::string& data = transaction.data;
        // Items 0 to 3: empty-only key; key tree; file pattern; application folder.
        const std::optional<std::vector<std::string>> split =
            SplitTerminatedItems(data, 4, IsAnsiLeadByte);
        RemovalItems items;
        if (split) items = {(*split)[0], (*split)[1], (*split)[2], (*split)[3]};
        // Refused before any profile is touched: input that would remove a
        // user's whole registry or files outside the application's folder.
        if (!split || !AreRemovalItemsSafe(items, IsAnsiLeadByte)) {
            error.RecordError("MKP3C62ZX3ADDZV", ERROR_INVALID_DATA, nullptr,
                              StringPrintf("(%s)", data.c_str()));
            ThrowFailure();
        }
        // Without the switch, or with a store that cannot be used (logged),
        // nothing is kept: the removal of old.
        BackupStore store;
        BackupStore* const keep = BeginUndo(transaction, kAction, store, error) ? &store : nullptr;
        // A failed walk has logged its points already.
        WalkUserProfiles(
            [&](const UserProfile& profile, ActionError& e) { return RemoveUserData(profile, items, keep, e); },
            kRemovalWalkPoints, error);
    });
    return ERROR_SUCCESS;
}

namespace {

constexpr char kNotMovedBack[] = "51D001643K48KBI";
constexpr char kNoPlaceBack[] = "S2P3IH4FGEEOP34";
constexpr char kKeysUnread[] = "D1RAJDBU34JQXS3";
constexpr char kProfileNotServed[] = "3ARU5IKKRAVBPBX";
constexpr char kRecordUnknown[] = "2CTWQ7HVWTRT508";

// Whether a record is one the removal writes.
bool IsRemovalRecord(const JournalRecord& record) {
    if (record.empty()) return false;
    if (record[0] == "file") return record.size() == 5;
    if (record[0] == "keys") return record.size() == 6;
    return record[0] == "folder" && record.size() == 4;
}

// The part of a path before its last separator, and the name after it.
std::pair<std::string, std::string> SplitLastName(const std::string& path) {
    const size_t at = FindLastChar(path, '\\', IsAnsiLeadByte);
    if (at == std::string::npos) return {std::string(), path};
    return {path.substr(0, at), path.substr(at + 1)};
}

// Moves backup `backup` back as `name` into `folder`, a folder inside the
// user's own profile, proven and held as the removal proved it; never over
// anything that is there now. A folder found made again meanwhile is as
// good as the empty one that was kept.
bool MoveBack(const UserProfile& profile, BackupStore& store, const std::string& folder, const std::string& name,
              const std::string& backup, bool isFolder, ActionError& error) {
    if (!store.HasBackup(backup)) return true;  // never moved in, or moved back already
    UniqueFile pin;
    std::string placeFound;
    switch (CheckUserFolderPlace(folder, profile.profileFinal, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE,
                                 pin, error, &placeFound)) {
    case FolderPlace::Missing:
        error.RecordError(kNoPlaceBack, ERROR_PATH_NOT_FOUND, nullptr, StringPrintf("(%s)", folder.c_str()));
        return false;
    case FolderPlace::Refused:
        error.PrependPoint(kNoPlaceBack);
        return false;
    case FolderPlace::InPlace:
        break;
    }
    const DWORD moved = store.MoveOut(backup, pin.Get(), name);
    if (moved == ERROR_SUCCESS || moved == ERROR_FILE_NOT_FOUND) return true;
    if (isFolder && moved == ERROR_ALREADY_EXISTS) {
        // Only a folder of its own there, not a link to one elsewhere.
        UniqueFile made;
        if (OpenChild(pin.Get(), placeFound, name, 0, FILE_OPEN, ObjectKind::Folder, made) == ERROR_SUCCESS)
            return true;
    }
    error.RecordError(kNotMovedBack, static_cast<int32_t>(moved), nullptr,
                      StringPrintf("(%s\\%s)(%s\\%s)", store.Path().c_str(), backup.c_str(), placeFound.c_str(),
                                   name.c_str()));
    return false;
}

// Puts one profile's records back, the last first; the first that fails
// ends the profile (recorded), and the store is kept.
bool PutBack(const UserProfile& profile, BackupStore& store, const std::vector<const JournalRecord*>& records,
             ActionError& error) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const JournalRecord& r = **it;
        bool done = false;
        if (r[0] == "keys") {
            // The empty-only key was removed after the tree: it goes back first.
            if (!r[5].empty() && !RestoreKeyTree(HKEY_USERS, profile.keyName, r[5], std::string(), error)) return false;
            if (r[2].empty()) continue;
            std::string bytes;
            const DWORD read = r[3].empty() ? (FromHex(r[4], bytes) ? static_cast<DWORD>(ERROR_SUCCESS)
                                                                    : static_cast<DWORD>(ERROR_INVALID_DATA))
                                            : store.ReadBackup(r[3], bytes);
            if (read != ERROR_SUCCESS) {
                error.RecordError(kKeysUnread, static_cast<int32_t>(read), nullptr,
                                  StringPrintf("(%s\\%s)", store.Path().c_str(), r[3].c_str()));
                return false;
            }
            done = RestoreKeyTree(HKEY_USERS, profile.keyName, r[2], bytes, error);
        } else if (r[0] == "file") {
            done = MoveBack(profile, store, r[2], r[3], r[4], false, error);
        } else {
            const auto [parent, name] = SplitLastName(r[2]);
            done = MoveBack(profile, store, parent, name, r[3], true, error);
        }
        if (!done) return false;
    }
    return true;
}

// The rollback's settlement: every profile's records put back in its own
// profile, found again by the walk. Answers whether all of them are back.
bool PutEverythingBack(BackupStore& store, const std::vector<JournalRecord>& records, ActionError& error) {
    bool all = true;
    std::map<std::string, std::vector<const JournalRecord*>> byProfile;
    for (const JournalRecord& record : records) {
        if (IsRemovalRecord(record)) {
            byProfile[record[1]].push_back(&record);
            continue;
        }
        std::string fields;
        for (const std::string& field : record) fields += "(" + field + ")";
        error.RecordError(kRecordUnknown, ERROR_INVALID_DATA, nullptr, fields);
        all = false;
    }
    if (byProfile.empty()) return all;
    std::set<std::string> served;
    const bool walked = WalkUserProfiles(
        [&](const UserProfile& profile, ActionError& e) {
            const auto found = byProfile.find(profile.keyName);
            if (found == byProfile.end()) return true;
            served.insert(profile.keyName);
            if (!PutBack(profile, store, found->second, e)) all = false;
            return true;
        },
        kRemovalWalkPoints, error);
    // A profile gone from the list, or whose hive could not be loaded: what
    // is kept for it stays in the store.
    for (const auto& [keyName, list] : byProfile) {
        if (served.count(keyName) != 0) continue;
        error.RecordError(kProfileNotServed, ERROR_NO_SUCH_USER, nullptr,
                          StringPrintf("(%s)(%d)", keyName.c_str(), static_cast<int>(list.size())));
        all = false;
    }
    return all && walked;
}

}  // namespace

// The installation's rollback: puts back what DelMultiUserData removed with
// the switch, from its store. Harmless twice, and after a removal that was
// ended at any point: a record whose change never happened finds its
// backup missing, or the key and values still there.
CA_ACTION DelMultiUserDataRollback(MSIHANDLE install) {
    ActionScope scope(install, "DelMultiUserDataRollback");
    return RunUndoAction(install, kAction, "07F9WX9R0ROU7K7", "5EZF9NE61JYAC31",
                         [](const std::string&, BackupStore& store, const std::vector<JournalRecord>& records,
                            ActionError& error) { return PutEverythingBack(store, records, error); });
}

// The installation's commit: the removal stands, its store is deleted.
CA_ACTION DelMultiUserDataCommit(MSIHANDLE install) {
    ActionScope scope(install, "DelMultiUserDataCommit");
    return RunCommitAction(install, kAction, "Q5UIW4KBZPE7HM5", "SI3WKR45FUD1GH8");
}
