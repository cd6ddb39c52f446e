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
// The answer for a key that is a link (ERROR_STOPPED_ON_SYMLINK).
constexpr LONG kLinkKey = 681;

// The 32-bit value of a handle, as the extra texts show it.
unsigned HandleValue(HKEY key) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(key));
}

// Every failure of a level names that level's key.
KeyRemoval FailAt(ActionError& error, HKEY root, const std::string& path) {
    error.AppendExtra(StringPrintf("(%X)(%s)", HandleValue(root), path.c_str()));
    return KeyRemoval::Failed;
}

// A link key found on the way: neither followed nor deleted.
KeyRemoval KeepLink(ActionError& error, const char* point, LONG answer, HKEY root, const std::string& path) {
    error.RecordError(point, answer, nullptr, StringPrintf("(%X)(%s)", HandleValue(root), path.c_str()));
    return KeyRemoval::LinkKept;
}

// The answer of one open below a held key.
struct LevelOpen {
    LONG result = ERROR_SUCCESS;
    // The key was opened but is a link (kLinkKey), or could not be proven to
    // be none (the query's answer): it is not served, and `key` is closed.
    bool link = false;
};

// Whether the key a handle is open on is itself a link: a link key holds its
// target as "SymbolicLinkValue" of type REG_LINK. Anything but a clear
// answer counts as one.
LONG LinkAnswer(HKEY key) {
    DWORD type = REG_NONE;
    const LONG read = Os().RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    if (read == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (read != ERROR_SUCCESS) return read;
    return type == REG_LINK ? kLinkKey : ERROR_SUCCESS;
}

// Opens the subkey `name` of the held key `parent` as it is, a link key
// itself rather than what it names, with `access` besides reading values.
LevelOpen OpenLevel(HKEY parent, const std::string& name, REGSAM access, UniqueKey& key) {
    const LONG opened =
        Os().RegOpenKeyExA(parent, name.c_str(), REG_OPTION_OPEN_LINK, access | KEY_QUERY_VALUE, key.Receive());
    if (opened != ERROR_SUCCESS) return {opened, false};
    const LONG link = LinkAnswer(key.Get());
    if (link == ERROR_SUCCESS) return {};
    key.Reset();
    return {link, true};
}

// Opens root\path one name at a time, each below the key held before it, so
// that no link on the way is followed; the key at the end with `access`.
// `reached` is the path up to the level that failed or is a link.
LevelOpen OpenPath(HKEY root, const std::string& path, REGSAM access, UniqueKey& key, std::string& reached) {
    UniqueKey parent;
    size_t from = 0;
    for (;;) {
        size_t end = FindChar(path, '\\', from, IsAnsiLeadByte);
        const bool last = end == std::string::npos;
        if (last) end = path.size();
        if (end > from) {  // doubled separators name no level
            reached = path.substr(0, end);
            UniqueKey level;
            const LevelOpen opened = OpenLevel(parent ? parent.Get() : root, path.substr(from, end - from),
                                               last ? access : KEY_ENUMERATE_SUB_KEYS, level);
            if (opened.result != ERROR_SUCCESS) return opened;
            parent = std::move(level);
        }
        if (last) break;
        from = end + 1;
    }
    key = std::move(parent);
    return {};
}

// Removes the key `key` is open on (root\path, no link, opened for reading
// and deletion) with all its subkeys, each opened below its parent's handle
// and deleted through its own. A link below it stays, and so do the keys
// that hold it.
KeyRemoval DeleteOpenTree(HKEY key, HKEY root, const std::string& path, ActionError& error) {
    DWORD subkeys = 0;
    DWORD longestName = 0;
    const LONG queried = Os().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr,
                                               nullptr, nullptr, nullptr, nullptr, nullptr);
    if (queried != ERROR_SUCCESS) {
        error.RecordError("D6BWHY9XVGYABNN", queried, nullptr, StringPrintf("(%X)", HandleValue(key)));
        return FailAt(error, root, path);
    }

    // All names first: deleting while enumerating would shift the indexes.
    const DWORD bufferLength = 2 * longestName + 1;
    std::vector<char> buffer(bufferLength);
    std::vector<std::string> names;
    names.reserve(subkeys);
    for (DWORD index = 0; index < subkeys; ++index) {
        DWORD length = bufferLength;
        const LONG enumerated =
            Os().RegEnumKeyExA(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (enumerated != ERROR_SUCCESS) {
            error.RecordError("NWP9AVF2XNLTV76", enumerated, nullptr,
                              StringPrintf("(%X)(%d)(%d)(%d)", HandleValue(key), static_cast<int>(index),
                                           static_cast<int>(subkeys), static_cast<int>(length)));
            return FailAt(error, root, path);
        }
        names.emplace_back(buffer.data(), length);
    }

    bool kept = false;
    for (size_t index = 0; index < names.size(); ++index) {
        const std::string childPath = path + "\\" + names[index];
        UniqueKey child;
        const LevelOpen opened = OpenLevel(key, names[index], KEY_READ | DELETE, child);
        KeyRemoval removal = KeyRemoval::Done;
        if (opened.link) {
            removal = KeepLink(error, "W7KQ2ZP4XRN9DHT", opened.result, root, childPath);
        } else if (opened.result == ERROR_FILE_NOT_FOUND) {
            continue;  // gone meanwhile
        } else if (opened.result != ERROR_SUCCESS) {
            error.RecordError("P85NLER5C2CR44I", opened.result);
            removal = FailAt(error, root, childPath);
        } else {
            removal = DeleteOpenTree(child.Get(), root, childPath, error);
        }
        if (removal == KeyRemoval::Failed) {
            error.AppendExtra(StringPrintf("(%d)(%d)", static_cast<int>(index), static_cast<int>(subkeys)));
            error.PrependPoint("A8959627VXV3XL7");
            return FailAt(error, root, path);
        }
        kept = kept || removal == KeyRemoval::LinkKept;
    }
    if (kept) return KeyRemoval::LinkKept;  // it still holds the link

    const LONG deleted = Os().DeleteOpenKey(key);
    if (deleted != ERROR_SUCCESS) {
        error.RecordError("ZF2YJ5VUS2INT5P", deleted);
        return FailAt(error, root, path);
    }
    return KeyRemoval::Done;
}

}  // namespace

KeyRemoval DeleteKeyTree(HKEY root, const std::string& path, ActionError& error) {
    UniqueKey key;  // open until the key itself is deleted
    std::string reached;
    const LevelOpen opened = OpenPath(root, path, KEY_READ | DELETE, key, reached);
    if (opened.link) return KeepLink(error, "W7KQ2ZP4XRN9DHT", opened.result, root, reached);
    if (opened.result == ERROR_FILE_NOT_FOUND) return KeyRemoval::Done;
    if (opened.result != ERROR_SUCCESS) {
        error.RecordError("P85NLER5C2CR44I", opened.result);
        return FailAt(error, root, path);
    }
    return DeleteOpenTree(key.Get(), root, path, error);
}

KeyRemoval DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error) {
    UniqueKey key;
    std::string reached;
    const LevelOpen opened = OpenPath(root, path, KEY_READ | DELETE, key, reached);
    if (opened.link) return KeepLink(error, "F5NZ8VQ3JM2TYRC", opened.result, root, reached);
    if (opened.result == ERROR_FILE_NOT_FOUND) return KeyRemoval::Done;
    if (opened.result != ERROR_SUCCESS) {
        error.RecordError("7DWIIBZEE4EZ82J", opened.result);
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
    if (subkeys != 0 || values != 0) return KeyRemoval::Done;
    const LONG deleted = Os().DeleteOpenKey(key.Get());
    if (deleted != ERROR_SUCCESS) {
        error.RecordError("M34RYAWSCIR9W3H", deleted);
        return FailAt(error, root, path);
    }
    return KeyRemoval::Done;
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
