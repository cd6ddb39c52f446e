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
// moves it into the store; a failed move is recorded as `point`.
DWORD MoveIntoStore(const TemplateUndo& undo, const char* kind, const char* point, HANDLE file,
                    const std::string& startupFolder, const std::string& name, const std::string& target,
                    ActionError& error) {
    const std::string backup = undo.store->NewBackupName();
    if (!Journal(undo, {kind, undo.keyName, startupFolder, name, backup}, target, error)) return kUndoRefused;
    const DWORD moved = undo.store->MoveIn(file, backup);
    if (moved == ERROR_SUCCESS) return ERROR_SUCCESS;
    error.RecordError(point, static_cast<int32_t>(moved), nullptr, StringPrintf("(%s)", target.c_str()));
    return kUndoRefused;
}

bool HasReadOnlyMark(HANDLE handle) {
    FileFacts facts;
    return ReadFileFacts(handle, facts) && (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Opens the existing template `name` of the held startup folder for deletion
// and takes its read-only mark off; answers as OpenChild, or kMarkStays
// (recorded as "1UYDXARAHJRJLWF") when the mark could not be taken off. The
// mark is taken off through the proven handle where the platform lets it be
// opened for changing attributes. Where a read-only file cannot be opened so
// (Wine run by an ordinary user keeps the mark as the file's mode), it is
// taken off by name while the proven file is held open for deletion without
// delete sharing: the name cannot be given to another file meanwhile, and the
// held handle shows whether its own file lost the mark.
DWORD OpenWithoutMark(HANDLE folder, const std::string& folderFinal, const std::string& name,
                      const std::string& target, UniqueFile& file, ActionError& error) {
    DWORD code = ERROR_SUCCESS;
    DWORD opened = OpenChild(folder, folderFinal, name, DELETE | FILE_WRITE_ATTRIBUTES, FILE_OPEN, ObjectKind::File,
                             file);
    if (opened == ERROR_SUCCESS) {
        if (!SetReadOnlyAttribute(target, file.Get(), false)) code = Os().GetLastError();
    } else if (opened == ERROR_ACCESS_DENIED) {
        opened = OpenChild(folder, folderFinal, name, DELETE, FILE_OPEN, ObjectKind::File, file);
        if (opened != ERROR_SUCCESS) return opened;
        if (HasReadOnlyMark(file.Get()) && !SetReadOnlyAttribute(target, false)) code = Os().GetLastError();
    } else {
        return opened;
    }
    if (!HasReadOnlyMark(file.Get())) return ERROR_SUCCESS;
    error.RecordError("1UYDXARAHJRJLWF", static_cast<int32_t>(code != ERROR_SUCCESS ? code : ERROR_ACCESS_DENIED),
                      nullptr, StringPrintf("(%s)", target.c_str()));
    file.Reset();
    return kMarkStays;
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
        if (undo) {
            UniqueFile old;
            const DWORD opened = OpenForStore(folder, folderFinal, name, old);
            if (opened == ERROR_SUCCESS) {
                const DWORD moved =
                    MoveIntoStore(*undo, "replaced", "64S1JQXWEF8V346", old.Get(), startupFolder, name, target, error);
                if (moved != ERROR_SUCCESS) return moved;
            } else if (opened != ERROR_FILE_NOT_FOUND) {
                return opened;
            }
            old.Reset();
            if (!Journal(*undo, {"copied", undo->keyName, startupFolder, name}, target, error)) return kUndoRefused;
        } else {
            // An older copy keeps its read-only mark until it is overwritten, so
            // a failed attempt never leaves the old file behind a fresh mark.
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

DWORD DeleteTemplateIn(HANDLE folder, const std::string& folderFinal, const std::string& name,
                       const std::string& target, ActionError& error) {
    UniqueFile file;
    const DWORD opened = OpenWithoutMark(folder, folderFinal, name, target, file, error);
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
