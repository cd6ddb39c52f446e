#include "actions/word/template_undo.h"

#include "actions/users/folder.h"
#include "actions/users/profile_walk.h"
#include "actions/word/template_file.h"
#include "runtime/file_facts.h"
#include "runtime/text.h"

#include <map>
#include <set>
#include <string>

namespace ca {

namespace {

constexpr char kNotPutBack[] = "OHIOFYK2LXYZ8MJ";
constexpr char kCopyStays[] = "U74YR16RCOD443G";
constexpr char kNotTheCopy[] = "177QDB6IQITH711";
constexpr char kFolderStays[] = "UJH4HJHXNBM4E2H";
constexpr char kUserNotReached[] = "R9BVQ6RVBPTZS06";

bool IsRecord(const JournalRecord& record, const char* kind, size_t fields) {
    return record.size() == fields && record.front() == kind;
}

// Whether two records name the same user's template.
bool SameTemplate(const JournalRecord& a, const JournalRecord& b) {
    return a[1] == b[1] && SamePathText(a[2], b[2]) && SamePathText(a[3], b[3]);
}

// "replaced" or "moved": the backup back under its own name.
bool PutBack(BackupStore& store, const JournalRecord& record, const UserProfile& profile, ActionError& error) {
    const std::string& folder = record[2];
    const std::string& name = record[3];
    const std::string& backup = record[4];
    if (!store.HasBackup(backup)) return true;  // never moved in, or back already
    const std::string target = folder + "\\" + name;
    UniqueFile held;
    std::string folderFinal;
    const FolderPlace place = CheckUserFolderPlace(folder, profile.profileFinal, FILE_ADD_FILE, held, error,
                                                   &folderFinal);
    if (place == FolderPlace::Refused) {
        error.PrependPoint(kNotPutBack);
        return false;
    }
    DWORD answer = ERROR_PATH_NOT_FOUND;
    if (place == FolderPlace::InPlace) {
        answer = store.MoveOut(backup, held.Get(), name);
        if (answer == ERROR_SUCCESS || answer == ERROR_FILE_NOT_FOUND) return true;
    }
    error.RecordError(kNotPutBack, static_cast<int32_t>(answer), nullptr,
                      StringPrintf("(%s)(%s)", target.c_str(), backup.c_str()));
    return false;
}

// The "replaced" record of the older template whose place the copy of the
// record at `at` ("copying" or "copied") took, if any.
const JournalRecord* ReplacedFor(const std::vector<JournalRecord>& records, size_t at) {
    size_t before = at;
    if (IsRecord(records[at], "copied", 5) && before > 0 && IsRecord(records[before - 1], "copying", 4) &&
        SameTemplate(records[before - 1], records[at]))
        --before;
    if (before > 0 && IsRecord(records[before - 1], "replaced", 5) && SameTemplate(records[before - 1], records[at]))
        return &records[before - 1];
    return nullptr;
}

bool IsEmptyFile(HANDLE file) {
    FILE_STANDARD_INFO standard{};
    return Os().GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
           standard.EndOfFile.QuadPart == 0;
}

// "copying", "copied": the copy deleted, and only the file the action made.
// When it replaced an older template, the file there is the copy only while
// the older one is still in the store. A "copied" record with the copy's
// file number proves it; a "copying" record the action ended after without
// journaling the number (or failed, and deleted its file) leaves only a
// file made empty there that instant; a "copied" record without a number
// (journals of earlier versions) names the copy by its place. Another file
// at the name stays, logged ("177QDB6IQITH711", code 80, extra "(<file>)").
bool RemoveCopy(BackupStore& store, const std::vector<JournalRecord>& records, size_t at, const UserProfile& profile,
                ActionError& error) {
    const JournalRecord& record = records[at];
    if (const JournalRecord* replaced = ReplacedFor(records, at); replaced && !store.HasBackup((*replaced)[4]))
        return true;
    TemplateCheck ours;
    if (record.size() == 5) {
        const std::string number = record[4];
        ours = [number](HANDLE file) {
            uint64_t index = 0;
            return ReadFileIndex(file, index) && FileNumberText(index) == number;
        };
    } else if (record.front() == "copying") {
        ours = &IsEmptyFile;
    }
    const std::string target = record[2] + "\\" + record[3];
    UniqueFile held;
    std::string folderFinal;
    const FolderPlace place = CheckUserFolderPlace(record[2], profile.profileFinal, 0, held, error, &folderFinal);
    if (place == FolderPlace::Missing) return true;
    if (place == FolderPlace::Refused) {
        error.PrependPoint(kCopyStays);
        return false;
    }
    const DWORD answer = DeleteTemplateIn(held.Get(), folderFinal, record[3], target, error, ours);
    if (answer == ERROR_SUCCESS || answer == ERROR_FILE_NOT_FOUND) return true;
    if (answer == kTemplateNotOurs) {
        // Not the action's copy: whoever put it there keeps it.
        error.RecordError(kNotTheCopy, ERROR_FILE_EXISTS, nullptr, StringPrintf("(%s)", target.c_str()));
        return true;
    }
    if (answer == kTemplateMarkStays) {
        error.PrependPoint(kCopyStays);
    } else {
        error.RecordError(kCopyStays, static_cast<int32_t>(answer), nullptr, StringPrintf("(%s)", target.c_str()));
    }
    return false;
}

// "folder": removed when it is empty; what someone put into it meanwhile
// keeps it.
bool RemoveFolder(const JournalRecord& record, const UserProfile& profile, ActionError& error) {
    UniqueFile held;
    const FolderPlace place = CheckUserFolderPlace(record[2], profile.profileFinal, DELETE, held, error);
    if (place == FolderPlace::Missing) return true;
    if (place == FolderPlace::Refused) {
        error.PrependPoint(kFolderStays);
        return false;
    }
    const DWORD answer = DeleteByHandle(held.Get());
    if (answer == ERROR_SUCCESS || answer == ERROR_DIR_NOT_EMPTY) return true;
    error.RecordError(kFolderStays, static_cast<int32_t>(answer), nullptr, StringPrintf("(%s)", record[2].c_str()));
    return false;
}

bool Undo(BackupStore& store, const std::vector<JournalRecord>& records, size_t at, const UserProfile& profile,
          ActionError& error) {
    const JournalRecord& record = records[at];
    if (IsRecord(record, "copying", 4)) {
        // The "copied" record after it, with the file number, undoes the copy.
        if (at + 1 < records.size() && IsRecord(records[at + 1], "copied", 5) && SameTemplate(records[at + 1], record))
            return true;
        return RemoveCopy(store, records, at, profile, error);
    }
    if (IsRecord(record, "copied", 4) || IsRecord(record, "copied", 5))
        return RemoveCopy(store, records, at, profile, error);
    if (IsRecord(record, "replaced", 5) || IsRecord(record, "moved", 5)) return PutBack(store, record, profile, error);
    // "restore": the rollback puts that backup back through its "replaced"
    // record, once the copy's records before it are undone; tried here as
    // well, before them, it would log the same refusal twice, or one that
    // the copy's removal then lifts.
    if (IsRecord(record, "folder", 3)) return RemoveFolder(record, profile, error);
    return true;  // no record of these actions
}

}  // namespace

bool PutBackStranded(BackupStore& store, const std::vector<JournalRecord>& records, const char* walkPoint,
                     ActionError& error) {
    // Each goes back as the rollback puts back its "replaced" record.
    std::vector<JournalRecord> stranded;
    for (const JournalRecord& record : records) {
        if (!IsRecord(record, "restore", 5)) continue;
        stranded.push_back(record);
        stranded.back().front() = "replaced";
    }
    return RollBackTemplates(store, stranded, walkPoint, error);
}

bool RollBackTemplates(BackupStore& store, const std::vector<JournalRecord>& records, const char* walkPoint,
                       ActionError& error) {
    std::map<std::string, std::vector<size_t>> byUser;
    for (size_t at = 0; at < records.size(); ++at)
        if (records[at].size() >= 3) byUser[records[at][1]].push_back(at);
    if (byUser.empty()) return true;
    bool complete = true;
    std::set<std::string> reached;
    const bool walked = WalkUserProfiles(
        [&](const UserProfile& profile, ActionError& e) {
            const auto mine = byUser.find(profile.keyName);
            if (mine == byUser.end()) return true;
            reached.insert(profile.keyName);
            for (auto at = mine->second.rbegin(); at != mine->second.rend(); ++at)
                if (!Undo(store, records, *at, profile, e)) complete = false;
            return true;
        },
        kWordWalkPoints, error);
    if (!walked) {
        error.PrependPoint(walkPoint);
        return false;
    }
    for (const auto& [keyName, positions] : byUser) {
        if (reached.count(keyName)) continue;
        error.RecordError(kUserNotReached, ERROR_NO_SUCH_USER, nullptr, StringPrintf("(%s)", keyName.c_str()));
        complete = false;
    }
    return complete;
}

}  // namespace ca
