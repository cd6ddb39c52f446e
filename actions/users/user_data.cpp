#include "actions/users/user_data.h"

#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "runtime/handles.h"
#include "runtime/text.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace ca {

namespace {

constexpr DWORD kFolderBufferSize = 1024;

// The 32-bit value of a handle, as the extra texts show it.
unsigned HandleValue(HKEY key) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(key));
}

// Every failure of a level names that level's key.
bool FailAt(ActionError& error, HKEY root, const std::string& path) {
    error.AppendExtra(StringPrintf("(%X)(%s)", HandleValue(root), path.c_str()));
    return false;
}

}  // namespace

bool DeleteKeyTree(HKEY root, const std::string& path, ActionError& error) {
    UniqueKey key;  // open until the key itself is deleted
    const LONG opened = Os().RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) {
        error.RecordError("P85NLER5C2CR44I", opened);
        return FailAt(error, root, path);
    }

    DWORD subkeys = 0;
    DWORD longestName = 0;
    const LONG queried = Os().RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &subkeys,
                                               &longestName, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr);
    if (queried != ERROR_SUCCESS) {
        error.RecordError("D6BWHY9XVGYABNN", queried, nullptr,
                          StringPrintf("(%X)", HandleValue(key.Get())));
        return FailAt(error, root, path);
    }

    // All names first: deleting while enumerating would shift the indexes.
    const DWORD bufferLength = 2 * longestName + 1;
    std::vector<char> buffer(bufferLength);
    std::vector<std::string> names;
    names.reserve(subkeys);
    for (DWORD index = 0; index < subkeys; ++index) {
        DWORD length = bufferLength;
        const LONG enumerated = Os().RegEnumKeyExA(key.Get(), index, buffer.data(), &length,
                                                   nullptr, nullptr, nullptr, nullptr);
        if (enumerated != ERROR_SUCCESS) {
            error.RecordError("NWP9AVF2XNLTV76", enumerated, nullptr,
                              StringPrintf("(%X)(%d)(%d)(%d)", HandleValue(key.Get()),
                                           static_cast<int>(index), static_cast<int>(subkeys),
                                           static_cast<int>(length)));
            return FailAt(error, root, path);
        }
        names.emplace_back(buffer.data(), length);
    }

    for (size_t index = 0; index < names.size(); ++index) {
        if (!DeleteKeyTree(root, path + "\\" + names[index], error)) {
            error.AppendExtra(
                StringPrintf("(%d)(%d)", static_cast<int>(index), static_cast<int>(subkeys)));
            error.PrependPoint("A8959627VXV3XL7");
            return FailAt(error, root, path);
        }
    }

    const LONG deleted = Os().RegDeleteKeyA(root, path.c_str());
    if (deleted != ERROR_SUCCESS) {
        error.RecordError("ZF2YJ5VUS2INT5P", deleted);
        return FailAt(error, root, path);
    }
    return true;
}

bool DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error) {
    UniqueKey key;
    const LONG opened = Os().RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) {
        error.RecordError("7DWIIBZEE4EZ82J", opened);
        return FailAt(error, root, path);
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    const LONG queried = Os().RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &subkeys,
                                               nullptr, nullptr, &values, nullptr, nullptr,
                                               nullptr, nullptr);
    if (queried != ERROR_SUCCESS) {
        error.RecordError("XUBWMB35FF5K2JY", queried, nullptr,
                          StringPrintf("(%X)", HandleValue(key.Get())));
        return FailAt(error, root, path);
    }
    if (subkeys != 0 || values != 0) return true;
    const LONG deleted = Os().RegDeleteKeyA(root, path.c_str());
    if (deleted != ERROR_SUCCESS) {
        error.RecordError("M34RYAWSCIR9W3H", deleted);
        return FailAt(error, root, path);
    }
    return true;
}

bool ReadUserAppDataFolder(const std::string& keyName, const std::string& profileFolder,
                           std::string& folder, ActionError& error) {
    const std::string path =
        keyName + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    UniqueKey key;
    const LONG opened =
        Os().RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    if (opened != ERROR_SUCCESS) {
        error.RecordError("KMQD6MZDW09RWJ2", opened, nullptr, StringPrintf("(%s)", path.c_str()));
        return false;
    }
    char value[kFolderBufferSize + 1] = {};  // a value without terminator still ends
    DWORD size = kFolderBufferSize;
    DWORD type = 0;
    const LONG read = Os().RegQueryValueExA(key.Get(), "AppData", nullptr, &type,
                                            reinterpret_cast<BYTE*>(value), &size);
    if (read != ERROR_SUCCESS) {
        error.RecordError("0LDICMUKL7ICYOT", read);
        return false;
    }
    const std::string text = value;
    // The value is the user's to write: what it names must be a folder of
    // its own, not a path relative to this process's working folder, nor one
    // that stands for a variable this process would read differently.
    const auto refuse = [&] {
        error.RecordError("0LDICMUKL7ICYOT", ERROR_INVALID_DATA, nullptr, StringPrintf("(%s)", text.c_str()));
        return false;
    };
    folder = text;
    // "%USERPROFILE%\Application Data": the user's own profile folder stands
    // for the variable, not this process's environment.
    if (type == REG_EXPAND_SZ && FindChar(text, '%', 0, IsAnsiLeadByte) != std::string::npos) {
        const std::optional<std::string> resolved = ResolveAgainstProfile(text, profileFolder, IsAnsiLeadByte);
        if (!resolved) return refuse();  // a redirected folder (%HOMESHARE%\...) is not the local profile's
        folder = *resolved;
    }
    // Empty: the user has no AppData folder, and nothing is done there.
    if (!folder.empty() && AbsoluteRootLength(folder, IsAnsiLeadByte) == 0) return refuse();
    return true;
}

}  // namespace ca
