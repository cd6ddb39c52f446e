#include "actions/word/template_file.h"

#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/text/input_text.h"
#include "diag/error_info.h"
#include "runtime/file_facts.h"
#include "runtime/handles.h"
#include "runtime/text.h"

#include <mbstring.h>

#include <vector>

namespace ca {

namespace {

constexpr int kFileAttempts = 4;
constexpr int kFolderAttempts = 5;
constexpr DWORD kPauseMs = 100;

bool IsInUse(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE; }

// The module-wide record of the read-only routine: the attributes of `file`
// could not be read.
void ReportUnreadableAttributes(const std::string& file, DWORD code) {
    const std::string extText = FormatStrgLine(file.c_str());
    ModuleErrorInfo().SetErr("NJPFBYKHSENRG8N", static_cast<int32_t>(code), nullptr, extText.c_str());
}

// The source's bytes into the opened target, which is cut to them; 0 or the
// failing call's last error.
DWORD CopyContent(HANDLE from, HANDLE to) {
    LARGE_INTEGER start{};
    if (!Os().SetFilePointerEx(to, start, nullptr, FILE_BEGIN) || !Os().SetEndOfFile(to)) return Os().GetLastError();
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!Os().ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return Os().GetLastError();
        if (read == 0) return ERROR_SUCCESS;
        DWORD written = 0;
        if (!Os().WriteFile(to, buffer.data(), read, &written, nullptr)) return Os().GetLastError();
        if (written != read) return ERROR_WRITE_FAULT;
    }
}

// The answer of an attempt whose read-only mark could not be taken off the
// template; recorded already, never retried.
constexpr DWORD kMarkStays = kTemplateMarkStays;
// The answer of an attempt whose undo could not be kept (a journal record
// not written, a template not moved into the store); recorded already,
// never retried.
constexpr DWORD kUndoRefused = 0xFFFFFFFE;

constexpr char kJournalRefused[] = "F1JRMN1V1Y9J03B";

// Writes one record of the undo before the change it describes.
bool Journal(const TemplateUndo& undo, const JournalRecord& record, const std::string& subject,
             ActionError& error) {
    const DWORD answer = undo.store->Append(record);
    if (answer == ERROR_SUCCESS) return true;
    error.RecordError(kJournalRefused, static_cast<int32_t>(answer), nullptr,
                      StringPrintf("(%s)(%s)", record.front().c_str(), subject.c_str()));
    return false;
}

// Opens the existing template `name` of the held folder, proven, for its
// move into the store as it is. Where a read-only file cannot be opened for
// changing attributes (Wine run by an ordinary user), it is opened without:
// a rename keeps the mark, and only a move to another volume needs more.
DWORD OpenForStore(HANDLE folder, const std::string& folderFinal, const std::string& name, UniqueFile& file) {
    const DWORD opened = OpenChild(folder, folderFinal, name, DELETE | GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                                   FILE_OPEN, ObjectKind::File, file);
    if (opened != ERROR_ACCESS_DENIED) return opened;
    return OpenChild(folder, folderFinal, name, DELETE | GENERIC_READ, FILE_OPEN, ObjectKind::File, file);
}

// Journals the template open on `file` as `kind` with a new backup name and
// moves it into the store; a failed move is recorded as `point`. `backup`
// receives the name it has there.
DWORD MoveIntoStore(const TemplateUndo& undo, const char* kind, const char* point, HANDLE file,
                    const std::string& startupFolder, const std::string& name, const std::string& target,
                    ActionError& error, std::string* backup = nullptr) {
    const std::string given = undo.store->NewBackupName();
    if (!Journal(undo, {kind, undo.keyName, startupFolder, name, given}, target, error)) return kUndoRefused;
    const DWORD moved = undo.store->MoveIn(file, given);
    if (moved == ERROR_SUCCESS) {
        if (backup) *backup = given;
        return ERROR_SUCCESS;
    }
    error.RecordError(point, static_cast<int32_t>(moved), nullptr, StringPrintf("(%s)", target.c_str()));
    return kUndoRefused;
}

bool HasReadOnlyMark(HANDLE handle) {
    FileFacts facts;
    return ReadFileFacts(handle, facts) && (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Opens the existing template `name` of the held startup folder for deletion
// and takes its read-only mark off; answers as OpenChild, kMarkStays
// (recorded as "1UYDXARAHJRJLWF") when the mark could not be taken off, or
// kTemplateNotOurs when `ours` refuses the file (which then stays as it
// is). The mark is taken off through the proven handle where the platform
// lets it be opened for changing attributes. Where a read-only file cannot be
// opened so (Wine run by an ordinary user keeps the mark as the file's mode),
// it is taken off through the name, opened afresh without following a link
// at it, while the proven file is held open for deletion without delete
// sharing (the name cannot be given to another file meanwhile): the fresh
// handle must be open on the held file ("52WTZBMJ6CWCE11", code 681, extra
// "(<file>)", when it is not), the mark is changed through it, and the held
// handle shows whether its own file lost the mark.
DWORD OpenWithoutMark(HANDLE folder, const std::string& folderFinal, const std::string& name,
                      const std::string& target, UniqueFile& file, ActionError& error,
                      const TemplateCheck& ours = {}) {
    DWORD opened = OpenChild(folder, folderFinal, name, DELETE | FILE_WRITE_ATTRIBUTES, FILE_OPEN, ObjectKind::File,
                             file);
    const bool byHandle = opened == ERROR_SUCCESS;
    if (opened == ERROR_ACCESS_DENIED)
        opened = OpenChild(folder, folderFinal, name, DELETE, FILE_OPEN, ObjectKind::File, file);
    if (opened != ERROR_SUCCESS) return opened;
    if (ours && !ours(file.Get())) {
        file.Reset();
        return kTemplateNotOurs;
    }
    DWORD code = ERROR_SUCCESS;
    if (byHandle) {
        if (!SetReadOnlyAttribute(target, file.Get(), false)) code = Os().GetLastError();
    } else if (HasReadOnlyMark(file.Get())) {
        const UniqueFile named = ReopenSameFile(target, file.Get());
        if (!named) {
            error.RecordError("52WTZBMJ6CWCE11", static_cast<int32_t>(kReachedThroughLink), nullptr,
                              StringPrintf("(%s)", target.c_str()));
            file.Reset();
            return kMarkStays;
        }
        if (!SetReadOnlyAttribute(target, named.Get(), false)) code = Os().GetLastError();
    }
    if (!HasReadOnlyMark(file.Get())) return ERROR_SUCCESS;
    error.RecordError("1UYDXARAHJRJLWF", static_cast<int32_t>(code != ERROR_SUCCESS ? code : ERROR_ACCESS_DENIED),
                      nullptr, StringPrintf("(%s)", target.c_str()));
    file.Reset();
    return kMarkStays;
}

// The copy with the undo kept, into the place an older template has left
// (moved into the store): journaled before it is made ("copying"), made new
// (a file that took the name meanwhile is not written over), and journaled
// with its file number ("copied") before anything is written into it, so
// that the rollback deletes this file only. A copy that fails is deleted.
DWORD WriteJournaledCopy(const TemplateUndo& undo, HANDLE from, HANDLE folder, const std::string& folderFinal,
                         const std::string& startupFolder, const std::string& name, const std::string& target,
                         ActionError& error) {
    if (!Journal(undo, {"copying", undo.keyName, startupFolder, name}, target, error)) return kUndoRefused;
    UniqueFile to;
    const DWORD opened =
        OpenChild(folder, folderFinal, name, GENERIC_WRITE | DELETE, FILE_CREATE, ObjectKind::File, to);
    if (opened != ERROR_SUCCESS) return opened;
    uint64_t number = 0;
    DWORD answer = ERROR_SUCCESS;
    if (!ReadFileIndex(to.Get(), number)) {
        answer = Os().GetLastError();
    } else if (!Journal(undo, {"copied", undo.keyName, startupFolder, name, FileNumberText(number)}, target,
                        error)) {
        answer = kUndoRefused;
    } else {
        answer = CopyContent(from, to.Get());
    }
    if (answer != ERROR_SUCCESS) {
        DeleteByHandle(to.Get());  // no half a template; gone once `to` closes
        return answer;
    }
    SetReadOnlyAttribute(target, to.Get(), true);
    return ERROR_SUCCESS;
}

// The copy with the undo kept: an older template goes into the store as it
// is, then the copy is written (WriteJournaledCopy). When the copy fails,
// the older template goes back under its name, never replacing what took
// the name meanwhile ("ZIYZ795LGC2P8XB", the move's answer, extra
// "(<file>)(<backup>)", when it cannot; not retried then). It then stays in
// the store with a "restore" record, which has the commit put it back too
// rather than delete it. Each attempt moves the older template under a
// backup name of its own.
DWORD CopyKeepingUndo(const TemplateUndo& undo, HANDLE from, HANDLE folder, const std::string& folderFinal,
                      const std::string& startupFolder, const std::string& name, const std::string& target,
                      ActionError& error) {
    std::string backup;  // the older template's name in the store, once it is there
    {
        UniqueFile old;
        const DWORD opened = OpenForStore(folder, folderFinal, name, old);
        if (opened == ERROR_SUCCESS) {
            const DWORD moved = MoveIntoStore(undo, "replaced", "64S1JQXWEF8V346", old.Get(), startupFolder, name,
                                              target, error, &backup);
            if (moved != ERROR_SUCCESS) return moved;
        } else if (opened != ERROR_FILE_NOT_FOUND) {
            return opened;
        }
    }
    const DWORD failure = WriteJournaledCopy(undo, from, folder, folderFinal, startupFolder, name, target, error);
    if (failure == ERROR_SUCCESS || backup.empty()) return failure;
    const DWORD back = undo.store->MoveOut(backup, folder, name);
    if (back == ERROR_SUCCESS) return failure;
    error.RecordError("ZIYZ795LGC2P8XB", static_cast<int32_t>(back), nullptr,
                      StringPrintf("(%s)(%s)", target.c_str(), backup.c_str()));
    Journal(undo, {"restore", undo.keyName, startupFolder, name, backup}, target, error);
    return kUndoRefused;
}

// One copy or deletion in the held, proven startup folder; 0 or the error
// that ended it. The template is opened or made only by its name relative to
// the folder's handle and is changed only through a handle that proves it
// lies there with a single name (OpenChild): a target reached through a
// link, or a hard link to a file elsewhere, is neither overwritten, marked
// nor deleted (answered with kReachedThroughLink or kSeveralNames, which are
// not retried). `target` names the template in reports. With `undo`, an
// older template or the one to remove goes into the store instead (see
// TemplateUndo); `startupFolder` is the folder as the records name it.
DWORD Attempt(bool copy, const std::string& source, HANDLE folder, const std::string& folderFinal,
              const std::string& startupFolder, const std::string& name, const std::string& target,
              const TemplateUndo* undo, ActionError& error) {
    if (copy) {
        UniqueFile from(Os().CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!from) return Os().GetLastError();  // a missing source (2) creates no empty target
        if (undo)
            return CopyKeepingUndo(*undo, from.Get(), folder, folderFinal, startupFolder, name, target, error);
        // An older copy keeps its read-only mark until it is overwritten, so
        // a failed attempt never leaves the old file behind a fresh mark.
        {
            UniqueFile old;
            const DWORD opened = OpenWithoutMark(folder, folderFinal, name, target, old, error);
            if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) return opened;
        }
        UniqueFile to;
        const DWORD opened =
            OpenChild(folder, folderFinal, name, GENERIC_WRITE | DELETE, FILE_OPEN_IF, ObjectKind::File, to);
        if (opened != ERROR_SUCCESS) return opened;
        if (const DWORD copied = CopyContent(from.Get(), to.Get()); copied != ERROR_SUCCESS) {
            DeleteByHandle(to.Get());  // no half a template
            return copied;
        }
        SetReadOnlyAttribute(target, to.Get(), true);
        return ERROR_SUCCESS;
    }
    UniqueFile file;
    const DWORD opened = undo ? OpenForStore(folder, folderFinal, name, file)
                              : OpenWithoutMark(folder, folderFinal, name, target, file, error);
    if (opened != ERROR_SUCCESS) {
        if (opened != kReachedThroughLink && opened != kSeveralNames && opened != kMarkStays)
            ReportUnreadableAttributes(target, opened);
        return opened;
    }
    if (undo) return MoveIntoStore(*undo, "moved", "ZOC83AP8SV8132U", file.Get(), startupFolder, name, target, error);
    return DeleteByHandle(file.Get());
}

}  // namespace

std::string FileNumberText(uint64_t number) {
    return StringPrintf("%016llx", static_cast<unsigned long long>(number));
}

DWORD DeleteTemplateIn(HANDLE folder, const std::string& folderFinal, const std::string& name,
                       const std::string& target, ActionError& error, const TemplateCheck& ours) {
    UniqueFile file;
    const DWORD opened = OpenWithoutMark(folder, folderFinal, name, target, file, error, ours);
    if (opened != ERROR_SUCCESS) return opened;
    return DeleteByHandle(file.Get());
}

bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, const std::string& profileFinal, ActionError& error,
                           const TemplateUndo* undo) {
    try {
        // The folder comes from the user's hive: it must name a folder of its
        // own inside the user's profile, and nothing is made or changed
        // through a link.
        UniqueFile folder;
        std::string folderFinal;
        const FolderPlace place = CheckUserFolderPlace(startupFolder, profileFinal, 0, folder, error, &folderFinal);
        if (place == FolderPlace::Refused) return false;
        const std::string target = startupFolder + "\\" + fileName;
        if (place == FolderPlace::Missing) {
            if (!copy) {
                ReportUnreadableAttributes(target, ERROR_PATH_NOT_FOUND);  // nothing to remove
                return true;
            }
            const auto journalFolder = [&](const std::string& made) {
                return Journal(*undo, {"folder", undo->keyName, made}, made, error);
            };
            if (!CreateFolderPath(startupFolder, profileFinal, folder, error, &folderFinal,
                                  undo ? std::function<bool(const std::string&)>(journalFolder) : nullptr)) {
                error.PrependPoint("BDRIWZKRSRBJFHT");
                return false;
            }
        }
        const std::string source = sourceFolder + "\\" + fileName;
        for (int attempt = 1;; ++attempt) {
            const DWORD failure =
                Attempt(copy, source, folder.Get(), folderFinal, startupFolder, fileName, target, undo, error);
            if (failure == kMarkStays || failure == kUndoRefused) return false;
            if (!IsInUse(failure)) return true;  // done, or a failure that waiting does not mend
            if (attempt == kFileAttempts) {
                error.RecordError("MRPL3R7MGZ6TYNF", static_cast<int32_t>(failure));
                return false;
            }
            Os().Sleep(kPauseMs);
        }
    } catch (...) {
        error.RecordError("DWPKNW8NJS4K9BJ", static_cast<int32_t>(Os().GetLastError()));
        return false;
    }
}

bool CreateFolderPath(const std::string& path, const std::string& profileFinal, UniqueFile& folder,
                      ActionError& error, std::string* placeFound,
                      const std::function<bool(const std::string& folder)>& beforeMaking) {
    folder.Reset();
    std::string wanted = path;
    if (!wanted.empty() && FindLastChar(wanted, '\\', IsAnsiLeadByte) == wanted.size() - 1) wanted.pop_back();
    // A relative folder, or one outside the profile, is refused here; a
    // missing one is made below the deepest folder that is there, which the
    // look holds in place inside the profile.
    std::string parentFinal;
    FolderWay way;
    const FolderPlace place = CheckUserFolderPlace(wanted, profileFinal, 0, folder, error, &parentFinal, &way);
    if (place != FolderPlace::Missing) {
        if (placeFound) *placeFound = parentFinal;
        return place == FolderPlace::InPlace;
    }
    const std::vector<std::string>& missing = way.missing;
    const auto fail = [&](DWORD code, const std::string& part) {
        error.RecordError("MI6VFAPVGZZPWT7", static_cast<int32_t>(code), nullptr,
                          StringPrintf("(%s)(%s)(%d)", wanted.c_str(), part.c_str(), static_cast<int>(missing.size())));
        return false;
    };
    if (!way.deepest) return fail(ERROR_PATH_NOT_FOUND, profileFinal);  // the profile folder itself is gone
    UniqueFile parent = std::move(way.deepest);
    parentFinal = way.deepestFinal;

    // Each new folder is made by its name in the held folder above it, proven
    // and held in turn. The reports name them as the path asked for does.
    char full[MAX_PATH * 4] = {};
    const DWORD fullLength = Os().GetFullPathNameA(wanted.c_str(), sizeof full, full, nullptr);
    std::string part = fullLength > 0 && fullLength < sizeof full ? full : wanted;
    if (!part.empty() && FindLastChar(part, '\\', IsAnsiLeadByte) == part.size() - 1) part.pop_back();
    for (const std::string& name : missing) part.resize(part.size() > name.size() ? part.size() - name.size() - 1 : 0);
    for (auto name = missing.begin(); name != missing.end(); ++name) {
        part += "\\" + *name;
        UniqueFile child;
        std::string childFinal;
        DWORD answer = ERROR_SUCCESS;
        if (beforeMaking && !beforeMaking(part)) return false;  // the folders made before stay
        for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
            answer = OpenChild(parent.Get(), parentFinal, *name, DELETE, FILE_OPEN_IF, ObjectKind::Folder, child,
                               &childFinal);
            if (answer == ERROR_SUCCESS || answer == kReachedThroughLink) break;
            Os().Sleep(kPauseMs);
        }
        if (answer == kReachedThroughLink) {
            error.RecordError("HU7LPKPMX6M5NTQ", static_cast<int32_t>(answer), nullptr,
                              StringPrintf("(%s)(%s)", part.c_str(), childFinal.c_str()));
            return false;
        }
        if (answer != ERROR_SUCCESS) return fail(answer, part);  // the folders made before stay
        parent = std::move(child);
        parentFinal = childFinal;
    }
    folder = std::move(parent);
    if (placeFound) *placeFound = parentFinal;
    return true;
}

bool SetReadOnlyAttribute(const std::string& file, HANDLE handle, bool on) {
    FileFacts facts;
    if (!ReadFileFacts(handle, facts)) {
        const std::string extText = FormatStrgLine(file.c_str());
        ModuleErrorInfo().SetErr("NJPFBYKHSENRG8N", static_cast<int32_t>(Os().GetLastError()), nullptr,
                                 extText.c_str());
        return false;
    }
    const DWORD attributes = facts.attributes;
    if (((attributes & FILE_ATTRIBUTE_READONLY) != 0) == on) return true;
    const DWORD wanted = on ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
    if (!Os().SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
        const DWORD code = Os().GetLastError();
        const std::string extText = FormatStrgLine(file.c_str()) + FormatHexDump(&wanted, sizeof wanted);
        ModuleErrorInfo().SetErr("HLXF2IRGLR2WMSP", static_cast<int32_t>(code), nullptr, extText.c_str());
        Os().SetLastError(code);  // for the caller that records it
        return false;
    }
    return true;
}

bool SetReadOnlyAttribute(const std::string& file, bool on) {
    const DWORD attributes = Os().GetFileAttributesA(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const std::string extText = FormatStrgLine(file.c_str());
        ModuleErrorInfo().SetErr("NJPFBYKHSENRG8N", static_cast<int32_t>(Os().GetLastError()), nullptr,
                                 extText.c_str());
        return false;
    }
    if (((attributes & FILE_ATTRIBUTE_READONLY) != 0) == on) return true;
    const DWORD wanted = on ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
    if (!Os().SetFileAttributesA(file.c_str(), wanted)) {
        const DWORD code = Os().GetLastError();
        const std::string extText = FormatStrgLine(file.c_str()) + FormatHexDump(&wanted, sizeof wanted);
        ModuleErrorInfo().SetErr("HLXF2IRGLR2WMSP", static_cast<int32_t>(code), nullptr, extText.c_str());
        Os().SetLastError(code);  // for the caller that records it
        return false;
    }
    return true;
}

}  // namespace ca
