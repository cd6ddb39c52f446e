#include "actions/word/template_file.h"

#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/text/input_text.h"
#include "diag/error_info.h"
#include "runtime/handles.h"
#include "runtime/text.h"

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

// One copy or deletion; 0 or the error that ended it. The target is changed
// only through a handle that proves it lies in the startup folder with a
// single name (OpenInPlace): a target reached through a link, or a hard link
// to a file elsewhere, is neither overwritten, marked nor deleted (answered
// with kReachedThroughLink or kSeveralNames, which are not retried).
DWORD Attempt(bool copy, const std::string& source, const std::string& target) {
    if (copy) {
        UniqueFile from(Os().CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!from) return Os().GetLastError();  // a missing source (2) creates no empty target
        // An older copy keeps its read-only mark until it is overwritten, so
        // a failed attempt never leaves the old file behind a fresh mark.
        {
            UniqueFile old;
            const DWORD opened = OpenInPlace(target, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, ObjectKind::File, old);
            if (opened == ERROR_SUCCESS) {
                SetReadOnlyAttribute(target, old.Get(), false);
            } else if (opened != ERROR_FILE_NOT_FOUND) {
                return opened;
            }
        }
        UniqueFile to;
        const DWORD opened = OpenInPlace(target, GENERIC_WRITE | DELETE, OPEN_ALWAYS, ObjectKind::File, to);
        if (opened != ERROR_SUCCESS) return opened;
        if (const DWORD copied = CopyContent(from.Get(), to.Get()); copied != ERROR_SUCCESS) {
            DeleteByHandle(to.Get());  // no half a template
            return copied;
        }
        SetReadOnlyAttribute(target, to.Get(), true);
        return ERROR_SUCCESS;
    }
    UniqueFile file;
    const DWORD opened = OpenInPlace(target, DELETE | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, ObjectKind::File, file);
    if (opened != ERROR_SUCCESS) {
        if (opened != kReachedThroughLink && opened != kSeveralNames) ReportUnreadableAttributes(target, opened);
        return opened;
    }
    SetReadOnlyAttribute(target, file.Get(), false);
    return DeleteByHandle(file.Get());
}

// The folder that CreateFolderPath builds on, or has just made, proven in
// place; records "HU7LPKPMX6M5NTQ" otherwise.
bool FolderInPlace(const std::string& folder, ActionError& error) {
    UniqueFile handle;
    std::string finalPath;
    const DWORD answer = OpenInPlace(folder, 0, OPEN_EXISTING, ObjectKind::Folder, handle, &finalPath);
    if (answer == ERROR_SUCCESS) return true;
    error.RecordError("HU7LPKPMX6M5NTQ", static_cast<int32_t>(answer), nullptr,
                      StringPrintf("(%s)(%s)", folder.c_str(), finalPath.c_str()));
    return false;
}

}  // namespace

bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, ActionError& error) {
    try {
        // The folder comes from the user's hive: it must name a folder of its
        // own, and nothing is made or changed through a link.
        UniqueFile pin;
        if (AbsoluteRootLength(startupFolder, IsAnsiLeadByte) == 0)
            return CheckFolderPlace(startupFolder, 0, pin, error) != FolderPlace::Refused;
        if (copy && !CreateFolderPath(startupFolder, error)) {
            error.PrependPoint("BDRIWZKRSRBJFHT");
            return false;
        }
        if (CheckFolderPlace(startupFolder, 0, pin, error) == FolderPlace::Refused) return false;
        const std::string source = sourceFolder + "\\" + fileName;
        const std::string target = startupFolder + "\\" + fileName;
        for (int attempt = 1;; ++attempt) {
            const DWORD failure = Attempt(copy, source, target);
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

bool CreateFolderPath(const std::string& path, ActionError& error) {
    std::string folder = path;
    if (!folder.empty() && FindLastChar(folder, '\\', IsAnsiLeadByte) == folder.size() - 1) folder.pop_back();
    // The root of a drive or of a share is never created.
    const size_t root = AbsoluteRootLength(folder, IsAnsiLeadByte);

    // The deepest existing folder above; the lengths of the missing ones.
    std::vector<size_t> missing;
    std::string candidate = folder;
    for (;;) {
        if (root != 0 && candidate.size() <= root) break;
        const size_t separator = FindLastChar(candidate, '\\', IsAnsiLeadByte);
        if (separator == std::string::npos || IsExistingFolder(candidate)) break;
        missing.push_back(candidate.size());
        candidate.resize(separator);
    }
    if (missing.empty()) return true;

    const auto fail = [&](DWORD code, const std::string& part) {
        error.RecordError("MI6VFAPVGZZPWT7", static_cast<int32_t>(code), nullptr,
                          StringPrintf("(%s)(%s)(%d)", folder.c_str(), part.c_str(), static_cast<int>(missing.size())));
        return false;
    };
    if (root != 0) {
        // A drive or share that cannot be reached costs this one look.
        const std::string base = candidate.size() <= root ? candidate + "\\" : candidate;
        if (candidate.size() <= root && !IsExistingFolder(base)) return fail(Os().GetLastError(), candidate);
        // The new folders go into a folder reached through no link.
        if (!FolderInPlace(base, error)) return false;
    }

    for (auto length = missing.rbegin(); length != missing.rend(); ++length) {
        const std::string part = folder.substr(0, *length);
        DWORD lastError = ERROR_SUCCESS;
        bool created = false;
        for (int attempt = 0; attempt < kFolderAttempts && !created; ++attempt) {
            created = Os().CreateDirectoryA(part.c_str(), nullptr) != FALSE;
            if (!created) {
                lastError = Os().GetLastError();
                Os().Sleep(kPauseMs);
            }
        }
        if (!created) return fail(lastError, part);  // the folders created before stay
        if (root != 0 && !FolderInPlace(part, error)) return false;
    }
    return true;
}

bool SetReadOnlyAttribute(const std::string& file, HANDLE handle, bool on) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!Os().GetFileInformationByHandle(handle, &info)) {
        const std::string extText = FormatStrgLine(file.c_str());
        ModuleErrorInfo().SetErr("NJPFBYKHSENRG8N", static_cast<int32_t>(Os().GetLastError()), nullptr,
                                 extText.c_str());
        return false;
    }
    const DWORD attributes = info.dwFileAttributes;
    if (((attributes & FILE_ATTRIBUTE_READONLY) != 0) == on) return true;
    const DWORD wanted = on ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
    if (!Os().SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
        const std::string extText = FormatStrgLine(file.c_str()) + FormatHexDump(&wanted, sizeof wanted);
        ModuleErrorInfo().SetErr("HLXF2IRGLR2WMSP", static_cast<int32_t>(Os().GetLastError()), nullptr,
                                 extText.c_str());
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
        const std::string extText = FormatStrgLine(file.c_str()) + FormatHexDump(&wanted, sizeof wanted);
        ModuleErrorInfo().SetErr("HLXF2IRGLR2WMSP", static_cast<int32_t>(Os().GetLastError()), nullptr,
                                 extText.c_str());
        return false;
    }
    return true;
}

}  // namespace ca
