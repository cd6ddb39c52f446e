#include "runtime/log.h"

#include "runtime/file_facts.h"
#include "runtime/handles.h"
#include "runtime/protected_folder.h"
#include "runtime/text.h"

namespace ca {

namespace {

constexpr const char* kLogName = "kwinst.log";

enum class Account { LocalSystem, Other, Unknown };

// Whom the calling thread acts for: its impersonation token when it has
// one, else the process's.
Account EffectiveAccount() {
    UniqueHandle token;
    if (!Os().OpenThreadToken(Os().GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive())) {
        if (Os().GetLastError() != ERROR_NO_TOKEN) return Account::Unknown;
        if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return Account::Unknown;
    }
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer{};
    DWORD length = 0;
    if (!Os().GetTokenInformation(token.Get(), TokenUser, &buffer, sizeof buffer, &length)) return Account::Unknown;
    return Os().IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid) ? Account::LocalSystem : Account::Other;
}

// The temporary folder of the account, with its separator at the end.
std::string UserTemporaryFolder() {
    char folder[520] = {};
    const DWORD length = Os().GetTempPathA(sizeof folder, folder);
    folder[sizeof folder - 1] = '\0';
    if (length == 0 || length >= sizeof folder) return std::string();
    return folder;
}

// The system's own temporary folder, which only SYSTEM and Administrators
// can change; empty where the system has none or its path has no ANSI form.
std::string SystemTemporaryFolder() {
    wchar_t wide[MAX_PATH + 1] = {};
    const DWORD length = Os().GetTempPath2W(MAX_PATH + 1, wide);
    if (length == 0 || length > MAX_PATH) return std::string();
    char folder[MAX_PATH * 2 + 1] = {};
    BOOL lossy = FALSE;
    const int converted = Os().WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(length),
                                                   folder, sizeof folder - 1, nullptr, &lossy);
    if (converted <= 0 || lossy) return std::string();
    return std::string(folder, converted);
}

// Where LocalSystem keeps the log on a system without its own temporary
// folder: a folder of ours in the Windows folder's Temp, protected.
std::string FallbackFolder() {
    char windows[MAX_PATH + 1] = {};
    const UINT length = Os().GetSystemWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return std::string();
    std::string folder = windows;
    if (folder.back() != '\\') folder += '\\';  // "C:\" is the only one ending in it
    return folder + "Temp\\CustAction";
}

// The folder the log goes to for the calling thread, with the protected
// fallback held in `held` when that is the one; empty when there is none
// that may be used.
std::string LogFolder(ProtectedFolder* held) {
    switch (EffectiveAccount()) {
        case Account::Other:
            return UserTemporaryFolder();
        case Account::LocalSystem: {
            std::string folder = SystemTemporaryFolder();
            if (!folder.empty()) return folder;
            folder = FallbackFolder();
            if (folder.empty()) return folder;
            ProtectedFolder proven;
            if (OpenProtectedFolder(folder, held ? *held : proven) != ERROR_SUCCESS) return std::string();
            return folder + "\\";
        }
        case Account::Unknown:
            break;
    }
    return std::string();
}

// Opens the log in `folder` (ending in a separator) for one record, without
// sharing and without following a link at its name, and takes it only when
// it is a plain file with one name, right in that folder. The folder is held
// meanwhile (no delete sharing, so it keeps its place), unless the caller
// holds it already.
UniqueFile OpenLogFile(const std::string& folder, const ProtectedFolder& held) {
    UniqueFile pin;
    HANDLE folderHandle = held.handle.Get();
    if (!held.handle) {
        pin.Reset(Os().CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!pin) return UniqueFile();
        folderHandle = pin.Get();
    }
    UniqueFile file(Os().CreateFileA((folder + kLogName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return file;
    FileFacts facts;
    if (!ReadFileFacts(file.Get(), facts)) return UniqueFile();
    if ((facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 || facts.links != 1)
        return UniqueFile();
    // A link the open went through shows in the final path (where the system
    // does not show it as a reparse point).
    DWORD folderError = ERROR_SUCCESS, fileError = ERROR_SUCCESS;
    const std::string folderPath = HandlePath(folderHandle, folderError);
    const std::string filePath = HandlePath(file.Get(), fileError);
    if (folderError == ERROR_CALL_NOT_IMPLEMENTED && fileError == ERROR_CALL_NOT_IMPLEMENTED) return file;
    if (folderPath.empty() || filePath.empty() || !SamePathText(filePath, folderPath + "\\" + kLogName))
        return UniqueFile();
    return file;
}

}  // namespace

std::string LogFilePath() {
    const std::string folder = LogFolder(nullptr);
    return folder.empty() ? folder : folder + kLogName;
}

void WriteLogLine(const std::string& text) {
    try {
        ProtectedFolder held;
        const std::string folder = LogFolder(&held);
        if (folder.empty()) return;
        const UniqueFile file = OpenLogFile(folder, held);
        if (!file) return;
        SYSTEMTIME now{};
        Os().GetLocalTime(&now);
        const std::string record = FormatLogRecord(
            {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, text);
        LARGE_INTEGER end{};
        if (!Os().SetFilePointerEx(file.Get(), LARGE_INTEGER{}, &end, FILE_END)) return;
        DWORD written = 0;
        Os().WriteFile(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written,
                       nullptr);
    } catch (...) {
        // Logging never brings an action down.
    }
}

}  // namespace ca
