#include "actions/word/template_file.h"

#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/text/input_text.h"
#include "diag/error_info.h"
#include "runtime/text.h"

#include <vector>

namespace ca {

namespace {

constexpr int kFileAttempts = 4;
constexpr int kFolderAttempts = 5;
constexpr DWORD kPauseMs = 100;

bool IsInUse(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE; }

// One copy or deletion; 0 or the call's last error.
DWORD Attempt(bool copy, const std::string& source, const std::string& target) {
    if (copy) {
        // An older copy keeps its read-only mark until it is overwritten, so
        // a failed attempt never leaves the old file behind a fresh mark.
        if (Os().GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) SetReadOnlyAttribute(target, false);
        if (!Os().CopyFileA(source.c_str(), target.c_str(), FALSE)) return Os().GetLastError();
        SetReadOnlyAttribute(target, true);
        return ERROR_SUCCESS;
    }
    SetReadOnlyAttribute(target, false);
    if (!Os().DeleteFileA(target.c_str())) return Os().GetLastError();
    return ERROR_SUCCESS;
}

}  // namespace

bool PlaceOrRemoveTemplate(bool copy, const std::string& sourceFolder, const std::string& startupFolder,
                           const std::string& fileName, ActionError& error) {
    try {
        if (copy && !CreateFolderPath(startupFolder, error)) {
            error.PrependPoint("BDRIWZKRSRBJFHT");
            return false;
        }
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

    // The deepest existing folder above; the lengths of the missing ones.
    std::vector<size_t> missing;
    std::string candidate = folder;
    for (;;) {
        const size_t separator = FindLastChar(candidate, '\\', IsAnsiLeadByte);
        if (separator == std::string::npos || IsExistingFolder(candidate)) break;
        missing.push_back(candidate.size());
        candidate.resize(separator);
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
        if (!created) {
            error.RecordError("MI6VFAPVGZZPWT7", static_cast<int32_t>(lastError), nullptr,
                              StringPrintf("(%s)(%s)(%d)", folder.c_str(), part.c_str(),
                                           static_cast<int>(missing.size())));
            return false;  // the folders created before stay
        }
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
