#include "actions/users/folder.h"

#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "runtime/file_facts.h"
#include "runtime/text.h"

#include <mbstring.h>

#include <algorithm>
#include <vector>

namespace ca {

namespace {

// The path the system gives for an open handle, without its "\\?\" prefix
// ("\\?\UNC\server\share" as "\\server\share"); empty when it gives none.
std::string FinalPath(HANDLE handle) {
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = Os().GetFinalPathNameByHandleA(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < buffer.size()) break;
        buffer.resize(length + 1);
    }
    std::string path = buffer.data();
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + path.substr(7);
    if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

// The path without the separator a root keeps at its end ("C:\" as "C:").
std::string WithoutTrailingSeparator(std::string path) {
    if (!path.empty() && FindLastChar(path, '\\', IsAnsiLeadByte) == path.size() - 1) path.pop_back();
    return path;
}

bool SameText(const std::string& a, const std::string& b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                    reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

// Whether the final path names the same place as the path asked for, once
// that is made full (". " components, doubled separators) and long (8.3
// names).
bool SamePlace(const std::string& asked, const std::string& final) {
    if (final.empty()) return false;
    const std::string found = WithoutTrailingSeparator(final);
    char full[MAX_PATH * 4] = {};
    const DWORD fullLength = Os().GetFullPathNameA(asked.c_str(), sizeof full, full, nullptr);
    const std::string expected = fullLength > 0 && fullLength < sizeof full ? full : asked;
    if (SameText(WithoutTrailingSeparator(expected), found)) return true;
    char longer[MAX_PATH * 4] = {};
    const DWORD longLength = Os().GetLongPathNameA(expected.c_str(), longer, sizeof longer);
    return longLength > 0 && longLength < sizeof longer && SameText(WithoutTrailingSeparator(longer), found);
}

}  // namespace

bool IsExistingFolder(const std::string& path) {
    const DWORD attributes = Os().GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD DeleteByHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (Os().SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
        return ERROR_SUCCESS;
    return Os().GetLastError();
}

DWORD ProveObject(HANDLE handle, ObjectKind kind, DWORD placed) {
    FileFacts facts;
    if (!ReadFileFacts(handle, facts)) return Os().GetLastError();
    if (placed != ERROR_SUCCESS) return placed;
    if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kReachedThroughLink;
    const bool folder = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (kind == ObjectKind::File && folder) return ERROR_ACCESS_DENIED;
    if (kind == ObjectKind::Folder && !folder) return ERROR_DIRECTORY;
    if (kind == ObjectKind::File && facts.links > 1) return kSeveralNames;
    return ERROR_SUCCESS;
}

DWORD OpenInPlace(const std::string& path, DWORD access, DWORD disposition, ObjectKind kind, UniqueFile& handle,
                  std::string* finalPath, bool* created) {
    // A handle that may neither read, write nor delete reserves nothing:
    // holding a folder open for listing keeps others from renaming it.
    if (kind == ObjectKind::Folder) access |= FILE_LIST_DIRECTORY;
    UniqueFile opened(Os().CreateFileA(path.c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, disposition, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    if (!opened) return Os().GetLastError();
    const bool isNew = (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS || disposition == CREATE_NEW) &&
                       Os().GetLastError() != ERROR_ALREADY_EXISTS;
    if (created) *created = isNew;

    const std::string place = FinalPath(opened.Get());
    const DWORD placeError = place.empty() ? Os().GetLastError() : ERROR_SUCCESS;
    if (finalPath) *finalPath = place;
    const DWORD placed = place.empty() ? (placeError != ERROR_SUCCESS ? placeError : kReachedThroughLink)  // no place, no proof
                         : SamePlace(path, place) ? ERROR_SUCCESS
                                                  : kReachedThroughLink;
    const DWORD answer = ProveObject(opened.Get(), kind, placed);
    if (answer == ERROR_SUCCESS) {
        handle = std::move(opened);
        return ERROR_SUCCESS;
    }
    // A file this open made, wherever it landed, is this action's own.
    if (isNew && (access & DELETE) != 0) DeleteByHandle(opened.Get());
    return answer;
}

FolderPlace CheckFolderPlace(const std::string& folder, DWORD access, UniqueFile& pin, ActionError& error,
                             std::string* placeFound) {
    if (AbsoluteRootLength(folder, IsAnsiLeadByte) == 0) {
        error.RecordError("LH2VPM55L4S3QMQ", ERROR_INVALID_DATA, nullptr, StringPrintf("(%s)", folder.c_str()));
        return FolderPlace::Refused;
    }
    std::string finalPath;
    const DWORD answer = OpenInPlace(folder, access, OPEN_EXISTING, ObjectKind::Folder, pin, &finalPath);
    if (answer == ERROR_SUCCESS) {
        if (placeFound) *placeFound = WithoutTrailingSeparator(finalPath);
        return FolderPlace::InPlace;
    }
    if (answer == ERROR_FILE_NOT_FOUND || answer == ERROR_PATH_NOT_FOUND) return FolderPlace::Missing;
    error.RecordError("HU7LPKPMX6M5NTQ", static_cast<int32_t>(answer), nullptr,
                      StringPrintf("(%s)(%s)", folder.c_str(), finalPath.c_str()));
    return FolderPlace::Refused;
}

bool PathLiesWithin(const std::string& path, const std::string& folder) {
    char full[MAX_PATH * 4] = {};
    const DWORD length = Os().GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return false;
    return LiesWithin(WithoutTrailingSeparator(full), WithoutTrailingSeparator(folder), IsAnsiLeadByte);
}

FolderPlace CheckUserFolderPlace(const std::string& folder, const std::string& profileFinal, DWORD access,
                                 UniqueFile& pin, ActionError& error, std::string* placeFound, FolderWay* way) {
    const std::string profile = WithoutTrailingSeparator(profileFinal);
    const auto refuse = [&] {
        error.RecordError("R6WDX8MQ3ZT5KUE", ERROR_INVALID_DATA, nullptr,
                          StringPrintf("(%s)(%s)", folder.c_str(), profileFinal.c_str()));
        return FolderPlace::Refused;
    };
    const auto notInPlace = [&](DWORD answer, const std::string& found) {
        error.RecordError("HU7LPKPMX6M5NTQ", static_cast<int32_t>(answer), nullptr,
                          StringPrintf("(%s)(%s)", folder.c_str(), found.c_str()));
        return FolderPlace::Refused;
    };
    if (AbsoluteRootLength(folder, IsAnsiLeadByte) == 0) {
        error.RecordError("LH2VPM55L4S3QMQ", ERROR_INVALID_DATA, nullptr, StringPrintf("(%s)", folder.c_str()));
        return FolderPlace::Refused;
    }
    // Nothing outside the profile is even looked at: a network path would
    // have the machine's account sign in to a host the user chose.
    char full[MAX_PATH * 4] = {};
    const DWORD fullLength = Os().GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    if (fullLength == 0 || fullLength >= sizeof full) return refuse();
    const std::string wanted = WithoutTrailingSeparator(full);
    if (!LiesWithin(wanted, profile, IsAnsiLeadByte)) return refuse();

    // Inside the profile, the folders are opened one name at a time below
    // the profile folder, each without following a reparse point: a junction
    // or link the user made on the way is met as itself, never gone through.
    // The profile folder's own path is the system's (the walk proved it and
    // holds it, and it is not the user's to redirect).
    std::vector<std::string> names;
    for (size_t at = profile.size() + 1; at < wanted.size();) {
        const size_t next = std::min(FindChar(wanted, '\\', at, IsAnsiLeadByte), wanted.size());
        if (next > at) names.push_back(wanted.substr(at, next - at));
        at = next + 1;
    }
    UniqueFile current;
    std::string currentFinal;
    const std::string profileOpen = AbsoluteRootLength(profile, IsAnsiLeadByte) == profile.size() ? profile + "\\" : profile;
    DWORD answer = OpenInPlace(profileOpen, names.empty() ? access : 0, OPEN_EXISTING, ObjectKind::Folder, current,
                               &currentFinal);
    currentFinal = WithoutTrailingSeparator(currentFinal);
    if (answer == ERROR_FILE_NOT_FOUND || answer == ERROR_PATH_NOT_FOUND) return FolderPlace::Missing;
    if (answer != ERROR_SUCCESS) return notInPlace(answer, currentFinal);
    if (!LiesWithin(currentFinal, profile, IsAnsiLeadByte)) return refuse();
    for (size_t i = 0; i < names.size(); ++i) {
        UniqueFile child;
        std::string childFinal;
        answer = OpenChild(current.Get(), currentFinal, names[i], i + 1 == names.size() ? access : 0, FILE_OPEN,
                           ObjectKind::Folder, child, &childFinal);
        if (answer == ERROR_FILE_NOT_FOUND || answer == ERROR_PATH_NOT_FOUND) {
            if (way) {
                way->deepest = std::move(current);
                way->deepestFinal = currentFinal;
                way->missing.assign(names.begin() + static_cast<std::ptrdiff_t>(i), names.end());
            }
            return FolderPlace::Missing;
        }
        if (answer != ERROR_SUCCESS) return notInPlace(answer, childFinal);
        current = std::move(child);
        currentFinal = childFinal;
    }
    pin = std::move(current);
    if (placeFound) *placeFound = currentFinal;
    return FolderPlace::InPlace;
}

std::string FinalPathOf(HANDLE handle) { return WithoutTrailingSeparator(FinalPath(handle)); }

DWORD OpenChild(HANDLE parent, const std::string& parentFinal, const std::string& name, DWORD access,
                ULONG disposition, ObjectKind kind, UniqueFile& handle, std::string* finalPath) {
    if (name.empty() || FindChar(name, '\\', 0, IsAnsiLeadByte) != std::string::npos ||
        FindChar(name, '/', 0, IsAnsiLeadByte) != std::string::npos || name.find_first_not_of('.') == std::string::npos)
        return ERROR_INVALID_NAME;
    const int length = Os().MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    if (length <= 0 || length > 255) return ERROR_INVALID_NAME;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    Os().MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    UNICODE_STRING objectName{};
    objectName.Length = objectName.MaximumLength = static_cast<USHORT>(length * sizeof(wchar_t));
    objectName.Buffer = wide.data();
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    // A folder also for listing, so that its sharing counts while it is held.
    if (kind == ObjectKind::Folder) access |= FILE_LIST_DIRECTORY;
    const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                          (kind == ObjectKind::Folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    IO_STATUS_BLOCK status{};
    HANDLE raw = INVALID_HANDLE_VALUE;
    const NTSTATUS opened = Os().NtCreateFile(&raw, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status,
                                              nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              disposition, options, nullptr, 0);
    if (opened < 0) return Os().RtlNtStatusToDosError(opened);
    UniqueFile child(raw);
    const bool isNew = status.Information == FILE_CREATED;

    const std::string place = FinalPathOf(child.Get());
    if (finalPath) *finalPath = place;
    const bool placed = !place.empty() && SameText(place, parentFinal + "\\" + name);
    const DWORD answer = ProveObject(child.Get(), kind, placed ? ERROR_SUCCESS : kReachedThroughLink);
    if (answer == ERROR_SUCCESS) {
        handle = std::move(child);
        return ERROR_SUCCESS;
    }
    // What this open made, wherever it landed, is this action's own.
    if (isNew && (access & DELETE) != 0) DeleteByHandle(child.Get());
    return answer;
}

}  // namespace ca
