#include "actions/users/user_data.h"

#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "options/codec/pack.h"
#include "runtime/handles.h"
#include "runtime/text.h"

#include <algorithm>
#include <cstdint>
#include <memory>
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
// `reached` is the path up to the level that failed or is a link. The level
// on the way that `hold` names stays open in it.
LevelOpen OpenPath(HKEY root, const std::string& path, REGSAM access, UniqueKey& key, std::string& reached,
                   HeldLevel* hold = nullptr) {
    UniqueKey parent;
    HKEY below = root;
    size_t from = 0;
    for (;;) {
        size_t end = FindChar(path, '\\', from, IsAnsiLeadByte);
        const bool last = end == std::string::npos;
        if (last) end = path.size();
        if (end > from) {  // doubled separators name no level
            reached = path.substr(0, end);
            UniqueKey level;
            const LevelOpen opened =
                OpenLevel(below, path.substr(from, end - from), last ? access : KEY_ENUMERATE_SUB_KEYS, level);
            if (opened.result != ERROR_SUCCESS) return opened;
            if (hold != nullptr && !last && end == hold->length) {
                hold->key = std::move(level);
                below = hold->key.Get();
                parent.Reset();
            } else {
                parent = std::move(level);
                below = parent.Get();
            }
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

constexpr char kSaveFailed[] = "8GHGT8D3D18GE1H";
constexpr char kRestoreFailed[] = "0HWSX2Y34FA02MC";
constexpr char kBadTree[] = "LI3RESG2GRY6ID7";
// Access of the keys a restore opens or makes.
constexpr REGSAM kRestoreAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS;
// A value that grows while it is read is asked for again this often.
constexpr int kValueReadAttempts = 8;

// How a read of a tree ended.
enum class KeySave { Saved, Failed };

KeySave SaveFailed(ActionError& error, LONG answer, HKEY root, const std::string& path) {
    error.RecordError(kSaveFailed, answer, nullptr, StringPrintf("(%X)(%s)", HandleValue(root), path.c_str()));
    return KeySave::Failed;
}

// The names of a list as the texts of one item.
std::unique_ptr<PackItem> TextsItem(const char* name, const std::vector<std::string>& texts) {
    std::vector<const char*> pointers;
    pointers.reserve(texts.size());
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    return std::make_unique<PackItem>(name, pointers.data(), static_cast<int32_t>(pointers.size()));
}

// A key read for its removal: held open, for reading and deletion, from its
// read to its deletion, with the subkeys read below it. The removal deletes
// exactly what was saved, through the handles of the read, and opens and
// lists nothing twice; a subkey made after the read keeps its parent, whose
// deletion then fails, rather than going unsaved.
// Each holds its own name only: a path for each key of a deep, wide tree
// would take memory far beyond the tree's own size.
struct HeldKey {
    UniqueKey key;
    std::string name;
    LONG link = ERROR_SUCCESS;  // not: a link key (the answer), kept with its parents
    std::vector<HeldKey> children;
};

// Reads the key held by `held` (root\path) into `pack`: its values as they
// are stored, then its subkeys, each opened as itself below it and held in
// `held`; a link key is left out of the pack, and a subkey gone meanwhile
// out of both.
KeySave ReadOpenTree(HeldKey& held, HKEY root, const std::string& path, Pack& pack, ActionError& error) {
    const HKEY key = held.key.Get();
    DWORD subkeys = 0, longestName = 0, values = 0, longestValueName = 0, longestData = 0;
    LONG answer = Os().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr, &values,
                                        &longestValueName, &longestData, nullptr, nullptr);
    if (answer != ERROR_SUCCESS) return SaveFailed(error, answer, root, path);

    std::vector<std::string> valueNames, data;
    std::vector<int32_t> types;
    std::vector<char> name(2 * size_t{longestValueName} + 2);
    std::vector<BYTE> buffer(size_t{longestData} + 1);
    for (DWORD index = 0; values != 0; ++index) {
        DWORD nameLength = 0, dataLength = 0, type = REG_NONE;
        answer = ERROR_MORE_DATA;
        for (int attempt = 0; answer == ERROR_MORE_DATA && attempt < kValueReadAttempts; ++attempt) {
            if (attempt > 0) {
                name.resize(name.size() * 2);
                buffer.resize(std::max<size_t>(buffer.size() * 2, dataLength));
            }
            nameLength = static_cast<DWORD>(name.size());
            dataLength = static_cast<DWORD>(buffer.size());
            answer = Os().RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, buffer.data(),
                                        &dataLength);
        }
        if (answer == ERROR_NO_MORE_ITEMS) break;
        if (answer != ERROR_SUCCESS) return SaveFailed(error, answer, root, path);
        valueNames.emplace_back(name.data(), nameLength);
        types.push_back(static_cast<int32_t>(type));
        data.emplace_back(reinterpret_cast<const char*>(buffer.data()), dataLength);
    }

    // The subkeys counted: a key made meanwhile is not the application's.
    std::vector<char> keyName(2 * size_t{longestName} + 2);
    std::vector<std::string> names;
    for (DWORD index = 0; index < subkeys; ++index) {
        DWORD length = static_cast<DWORD>(keyName.size());
        answer = Os().RegEnumKeyExA(key, index, keyName.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (answer == ERROR_NO_MORE_ITEMS) break;
        if (answer != ERROR_SUCCESS) return SaveFailed(error, answer, root, path);
        names.emplace_back(keyName.data(), length);
    }
    std::vector<std::string> kept;
    std::vector<std::unique_ptr<Pack>> nested;
    held.children.reserve(names.size());
    for (const std::string& subkey : names) {
        HeldKey child;
        child.name = subkey;
        const std::string childPath = path + "\\" + subkey;
        const LevelOpen opened = OpenLevel(key, subkey, KEY_READ | DELETE, child.key);
        if (opened.link) {  // stays, and so does this key
            child.link = opened.result;
            held.children.push_back(std::move(child));
            continue;
        }
        if (opened.result == ERROR_FILE_NOT_FOUND) continue;  // gone
        if (opened.result != ERROR_SUCCESS) return SaveFailed(error, opened.result, root, childPath);
        held.children.push_back(std::move(child));
        auto inner = std::make_unique<Pack>();
        if (const KeySave read = ReadOpenTree(held.children.back(), root, childPath, *inner, error);
            read != KeySave::Saved)
            return read;
        kept.push_back(subkey);
        nested.push_back(std::move(inner));
    }

    if (!valueNames.empty()) {
        pack.Add(TextsItem("v", valueNames));
        pack.Add(std::make_unique<PackItem>("t", types.data(), static_cast<int32_t>(types.size())));
        std::vector<PackBytes> blocks;
        for (const std::string& bytes : data)
            blocks.push_back({reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size())});
        pack.Add(std::make_unique<PackItem>("d", blocks.data(), static_cast<int32_t>(blocks.size()), false));
    }
    if (!kept.empty()) {
        pack.Add(TextsItem("k", kept));
        std::vector<const Pack*> packs;
        for (const auto& inner : nested) packs.push_back(inner.get());
        pack.Add(std::make_unique<PackItem>("s", packs.data(), static_cast<int32_t>(packs.size())));
    }
    return KeySave::Saved;
}

// Opens the subkey `name` of the held key `parent` as itself, or makes it;
// a link key, found or met in the making, is not served (681).
LONG MakeLevel(HKEY parent, const std::string& name, UniqueKey& key) {
    const LevelOpen opened = OpenLevel(parent, name, kRestoreAccess, key);
    if (opened.link) return opened.result;
    if (opened.result != ERROR_FILE_NOT_FOUND) return opened.result;
    const LONG made = Os().RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE | REG_OPTION_OPEN_LINK,
                                           kRestoreAccess, nullptr, key.Receive(), nullptr);
    if (made != ERROR_SUCCESS) return made;
    const LONG link = LinkAnswer(key.Get());
    if (link != ERROR_SUCCESS) key.Reset();
    return link;
}

// The tree of the held key in its saved form, its subkeys held in `held`.
KeySave SaveOpenTree(HeldKey& held, HKEY root, const std::string& path, std::string& bytes, ActionError& error) {
    Pack pack;
    if (const KeySave read = ReadOpenTree(held, root, path, pack, error); read != KeySave::Saved) return read;
    const int64_t size = PackSize(pack, nullptr, 0);
    if (size < 0) return SaveFailed(error, ERROR_INVALID_DATA, root, path);
    bytes.assign(static_cast<size_t>(size), '\0');
    if (WritePack(pack, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size(), nullptr, 0) != size)
        return SaveFailed(error, ERROR_INVALID_DATA, root, path);
    return KeySave::Saved;
}

// Removes a tree as SaveOpenTree read it, deepest first, each key through
// the handle of the read; failures and link keys are reported as
// DeleteOpenTree reports them.
KeyRemoval DeleteHeldTree(HeldKey& held, HKEY root, const std::string& path, ActionError& error) {
    bool kept = false;
    for (size_t index = 0; index < held.children.size(); ++index) {
        HeldKey& child = held.children[index];
        const std::string childPath = path + "\\" + child.name;
        const KeyRemoval removal = child.link != ERROR_SUCCESS
                                       ? KeepLink(error, "W7KQ2ZP4XRN9DHT", child.link, root, childPath)
                                       : DeleteHeldTree(child, root, childPath, error);
        if (removal == KeyRemoval::Failed) {
            error.AppendExtra(StringPrintf("(%d)(%d)", static_cast<int>(index), static_cast<int>(held.children.size())));
            error.PrependPoint("A8959627VXV3XL7");
            return FailAt(error, root, path);
        }
        kept = kept || removal == KeyRemoval::LinkKept;
        child.key.Reset();
    }
    if (kept) return KeyRemoval::LinkKept;  // it still holds the link
    const LONG deleted = Os().DeleteOpenKey(held.key.Get());
    if (deleted != ERROR_SUCCESS) {
        error.RecordError("ZF2YJ5VUS2INT5P", deleted);
        return FailAt(error, root, path);
    }
    return KeyRemoval::Done;
}

bool RestoreFailed(ActionError& error, LONG answer, HKEY root, const std::string& path) {
    error.RecordError(kRestoreFailed, answer, nullptr, StringPrintf("(%X)(%s)", HandleValue(root), path.c_str()));
    return false;
}

// Writes the values of `pack` that the open key lacks, then its subkeys.
bool WriteTree(HKEY key, Pack& pack, HKEY root, const std::string& path, ActionError& error) {
    const PackItem* names = pack.Find("v");
    const PackItem* types = pack.Find("t");
    const PackItem* data = pack.Find("d");
    if (names != nullptr && types != nullptr && data != nullptr) {
        for (int32_t i = 0; i < names->Count(); ++i) {
            const char* name = names->Text(i) ? names->Text(i) : "";
            const LONG there = Os().RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr);
            if (there == ERROR_SUCCESS) continue;  // the value there now is kept
            if (there != ERROR_FILE_NOT_FOUND) return RestoreFailed(error, there, root, path);
            const PackBytes bytes = data->Bytes(i);
            const LONG set = Os().RegSetValueExA(key, name, 0, static_cast<DWORD>(types->IntValue(i)), bytes.data,
                                                 static_cast<DWORD>(std::max(bytes.length, 0)));
            if (set != ERROR_SUCCESS) return RestoreFailed(error, set, root, path);
        }
    }
    const PackItem* subkeys = pack.Find("k");
    const PackItem* packs = pack.Find("s");
    if (subkeys == nullptr || packs == nullptr) return true;
    for (int32_t i = 0; i < subkeys->Count() && i < packs->Count(); ++i) {
        const std::string name = subkeys->Text(i) ? subkeys->Text(i) : "";
        const std::string childPath = path + "\\" + name;
        UniqueKey child;
        if (const LONG made = MakeLevel(key, name, child); made != ERROR_SUCCESS)
            return RestoreFailed(error, made, root, childPath);
        if (!WriteTree(child.Get(), *packs->NestedPack(i), root, childPath, error)) return false;
    }
    return true;
}

}  // namespace

int ProbeKey(HKEY root, const std::string& path, ActionError& error) {
    UniqueKey key;
    std::string reached;
    const LevelOpen opened = OpenPath(root, path, KEY_READ, key, reached);
    if (opened.link || opened.result == ERROR_FILE_NOT_FOUND) return 0;
    if (opened.result != ERROR_SUCCESS) {
        SaveFailed(error, opened.result, root, reached);
        return -1;
    }
    return 1;
}

bool RestoreKeyTree(HKEY root, const std::string& first, const std::string& path, const std::string& bytes,
                    ActionError& error) {
    Pack pack;
    if (!bytes.empty() &&
        ReadPack(pack, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nullptr, 0) !=
            static_cast<int64_t>(bytes.size())) {
        error.RecordError(kBadTree, ERROR_INVALID_DATA, nullptr, StringPrintf("(%s\\%s)", first.c_str(), path.c_str()));
        return false;
    }
    // The user's root is the hive's: opened, never made.
    UniqueKey parent;
    const LevelOpen top = OpenLevel(root, first, kRestoreAccess, parent);
    if (top.result != ERROR_SUCCESS) return RestoreFailed(error, top.result, root, first);
    std::string reached = first;
    size_t from = 0;
    while (from <= path.size()) {
        size_t end = FindChar(path, '\\', from, IsAnsiLeadByte);
        if (end == std::string::npos) end = path.size();
        if (end > from) {
            reached += "\\" + path.substr(from, end - from);
            UniqueKey level;
            if (const LONG made = MakeLevel(parent.Get(), path.substr(from, end - from), level); made != ERROR_SUCCESS)
                return RestoreFailed(error, made, root, reached);
            parent = std::move(level);
        }
        from = end + 1;
    }
    return WriteTree(parent.Get(), pack, root, reached, error);
}

KeyRemoval DeleteKeyTree(HKEY root, const std::string& path, ActionError& error,
                         const std::function<bool(const std::string& tree)>& keep, HeldLevel* hold) {
    UniqueKey key;  // open until the key itself is deleted
    std::string reached;
    const LevelOpen opened = OpenPath(root, path, KEY_READ | DELETE, key, reached, hold);
    if (opened.link) return KeepLink(error, "W7KQ2ZP4XRN9DHT", opened.result, root, reached);
    if (opened.result == ERROR_FILE_NOT_FOUND) return KeyRemoval::Done;
    if (opened.result != ERROR_SUCCESS) {
        error.RecordError("P85NLER5C2CR44I", opened.result);
        return FailAt(error, root, path);
    }
    if (keep) {
        HeldKey held;
        held.key = std::move(key);
        std::string tree;
        if (SaveOpenTree(held, root, path, tree, error) != KeySave::Saved || !keep(tree)) return KeyRemoval::Failed;
        return DeleteHeldTree(held, root, path, error);
    }
    return DeleteOpenTree(key.Get(), root, path, error);
}

KeyRemoval DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error, HeldLevel* hold) {
    // Held on the way to the tree: asked through that handle, and opened
    // anew for its deletion only when it is empty.
    const bool held = hold != nullptr && hold->key;
    UniqueKey key;
    if (!held) {
        std::string reached;
        const LevelOpen opened = OpenPath(root, path, KEY_READ | DELETE, key, reached);
        if (opened.link) return KeepLink(error, "F5NZ8VQ3JM2TYRC", opened.result, root, reached);
        if (opened.result == ERROR_FILE_NOT_FOUND) return KeyRemoval::Done;
        if (opened.result != ERROR_SUCCESS) {
            error.RecordError("7DWIIBZEE4EZ82J", opened.result);
            return FailAt(error, root, path);
        }
    }
    const HKEY asked = held ? hold->key.Get() : key.Get();
    DWORD subkeys = 0;
    DWORD values = 0;
    const LONG queried = Os().RegQueryInfoKeyA(asked, nullptr, nullptr, nullptr, &subkeys,
                                               nullptr, nullptr, &values, nullptr, nullptr,
                                               nullptr, nullptr);
    if (held && queried == ERROR_KEY_DELETED) return KeyRemoval::Done;  // gone meanwhile
    if (queried != ERROR_SUCCESS) {
        error.RecordError("XUBWMB35FF5K2JY", queried, nullptr,
                          StringPrintf("(%X)", HandleValue(asked)));
        return FailAt(error, root, path);
    }
    if (subkeys != 0 || values != 0) return KeyRemoval::Done;
    if (held) {
        // The same key, proven on the way: an empty name opens it again.
        const LONG opened = Os().RegOpenKeyExA(asked, "", REG_OPTION_OPEN_LINK, DELETE, key.Receive());
        if (opened == ERROR_KEY_DELETED) return KeyRemoval::Done;
        if (opened != ERROR_SUCCESS) {
            error.RecordError("7DWIIBZEE4EZ82J", opened);
            return FailAt(error, root, path);
        }
    }
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
