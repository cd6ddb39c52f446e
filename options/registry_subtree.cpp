#include "options/registry_subtree.h"

#include "diag/text_format.h"
#include "options/registry_encoding.h"
#include "runtime/handles.h"
#include "runtime/log.h"
#include "runtime/text.h"

#include <algorithm>
#include <cwchar>
#include <unordered_set>
#include <vector>

namespace ca {

namespace {

// Name buffers of the enumerations: twice the longest name the key reports
// and one more, and never less than this.
constexpr size_t kLeastNameBuffer = 256;
// A value that grows between the size query and its enumeration is asked
// for again this often before the load gives up.
constexpr int kEnumRetries = 4;

std::string FoldAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool IsAscii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// A key name in UTF-16, from the ANSI code page.
std::wstring Wide(const std::string& text) {
    const int length = Os().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    if (length > 0) Os().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

LONG CreateKey(HKEY parent, const char* path, UniqueKey& key, DWORD* disposition) {
    return Os().RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kSubtreeAccess, nullptr,
                                key.Receive(), disposition);
}

// Deletes the subkeys of an existing key and the key itself, then creates it
// again: it is written from empty.
LONG EmptyAndRecreate(HKEY parent, const char* path, UniqueKey& key) {
    if (LONG rc = RegistrySubtree::DeleteContents(key.Get())) return rc;
    key.Reset();
    if (LONG rc = Os().RegDeleteKeyA(parent, path)) return rc;
    return CreateKey(parent, path, key, nullptr);
}

// Removes a key with everything below it.
LONG RemoveKey(HKEY parent, const char* path) {
    UniqueKey key;
    if (LONG rc = Os().RegOpenKeyExA(parent, path, 0, kSubtreeAccess, key.Receive())) return rc;
    const LONG contents = RegistrySubtree::DeleteContents(key.Get());
    key.Reset();
    const LONG self = Os().RegDeleteKeyA(parent, path);
    return contents ? contents : self;
}

class Writer {
public:
    Writer(const uint8_t* cipherKey, int32_t keyLength) : cipherKey_(cipherKey), keyLength_(keyLength) {}

    // A nested pack below an open key: the key is written from empty.
    LONG SavePack(const Pack& pack, HKEY parent, const char* path) {
        UniqueKey key;
        DWORD disposition = 0;
        if (LONG rc = CreateKey(parent, path, key, &disposition)) return rc;
        if (disposition == REG_OPENED_EXISTING_KEY) {
            if (LONG rc = EmptyAndRecreate(parent, path, key)) return rc;
        }
        return WriteItems(pack, key.Get());
    }

    LONG WriteItems(const Pack& pack, HKEY key) {
        for (const PackItem* item = pack.First(); item; item = item->Next()) {
            if (LONG rc = SaveItem(*item, key, nullptr, pack.Mode())) return rc;
        }
        return ERROR_SUCCESS;
    }

    LONG SaveItem(const PackItem& item, HKEY key, const char* subkeyPath, int32_t mode) {
        const bool below = subkeyPath != nullptr && *subkeyPath != '\0';
        if (item.Type() == kPackItemPack) {
            const std::string path = below ? std::string(subkeyPath) + "\\" + item.Name() : std::string(item.Name());
            return SavePack(NestedOf(item), key, path.c_str());
        }
        uint32_t type = 0;
        if (EncodeRegistryValue(item, mode, cipherKey_, keyLength_, type, data_) != 0 || data_.size() > MAXDWORD)
            return ERROR_INVALID_DATA;
        UniqueKey subkey;
        if (below) {
            if (LONG rc = CreateKey(key, subkeyPath, subkey, nullptr)) return rc;
        }
        static const BYTE kNoData = 0;
        return Os().RegSetValueExA(below ? subkey.Get() : key, RegistryValueName(item), 0, type,
                                   data_.empty() ? &kNoData : data_.data(), static_cast<DWORD>(data_.size()));
    }

    // The pack a pack item stands for; an item without packs is an empty key.
    static const Pack& NestedOf(const PackItem& item) {
        static const Pack kEmpty;
        return item.Count() >= 1 ? *item.NestedPack(0) : kEmpty;
    }

private:
    const uint8_t* cipherKey_;
    int32_t keyLength_;
    std::vector<uint8_t> data_;  // the value being written, reused
};

// Deletes, leaf first, the keys below root\path that the pack's keys name,
// where they exist without subkeys of their own. Settings about to be
// dropped mostly have the shape of the ones replacing them, so this takes
// most of their tree away with one call per key and no enumeration; what it
// leaves (keys of other names, and their parents) RemoveKey then finds. On
// a tree of another shape it gives up once its misses outrun its hits by 16.
class KnownKeyRemover {
public:
    explicit KnownKeyRemover(HKEY root) : root_(root) {}

    void Remove(const Pack& pack, std::string& path) {
        for (const PackItem* item = pack.First(); item != nullptr && credit_ > 0; item = item->Next()) {
            if (item->Type() != kPackItemPack) continue;
            const size_t length = path.size();
            path.append("\\").append(item->Name());
            Remove(Writer::NestedOf(*item), path);
            credit_ += Os().RegDeleteKeyA(root_, path.c_str()) == ERROR_SUCCESS ? 1 : -1;
            path.resize(length);
        }
    }

private:
    HKEY root_;
    long credit_ = 16;
};

class Loader {
public:
    // A complete loader takes everything or fails: it reads the copy of
    // settings that are about to be replaced, so a subkey it may not read is
    // a failure rather than a gap in the copy.
    enum class Gaps { Skipped, Refused };
    Loader(const uint8_t* cipherKey, int32_t keyLength, Gaps gaps = Gaps::Skipped)
        : cipherKey_(cipherKey), keyLength_(keyLength), gaps_(gaps) {}

    LONG LoadKey(Pack& pack, HKEY key) {
        DWORD longestSubkey = 0, longestValueName = 0, longestData = 0;
        if (LONG rc = Os().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &longestSubkey, nullptr,
                                            nullptr, &longestValueName, &longestData, nullptr, nullptr))
            return rc;
        std::vector<char> name(std::max<size_t>(2 * size_t{std::max(longestSubkey, longestValueName)} + 1,
                                                kLeastNameBuffer));
        std::unordered_set<std::string> subkeys;  // their names, ASCII letters folded
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            const LONG rc = Os().RegEnumKeyExA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) return rc;
            const std::string subkey(name.data(), length);
            subkeys.insert(FoldAscii(subkey));
            if (LONG sub = LoadSubkey(pack, key, subkey)) return sub;
        }

        std::vector<BYTE> data(size_t{longestData} + 1);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = 0, type = 0, dataLength = 0;
            LONG rc = ERROR_MORE_DATA;
            for (int attempt = 0; rc == ERROR_MORE_DATA && attempt < kEnumRetries; ++attempt) {
                if (attempt > 0) {
                    name.resize(name.size() * 2);
                    data.resize(std::max<size_t>(data.size() * 2, dataLength));
                }
                nameLength = static_cast<DWORD>(name.size());
                dataLength = static_cast<DWORD>(data.size());
                rc = Os().RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                                        &dataLength);
            }
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) return rc;
            const std::string valueName(name.data(), nameLength);
            if (valueName.find('\\') != std::string::npos) {
                unmapped_ = true;
                return ERROR_FILE_NOT_FOUND;
            }

            // A value named like a subkey is read as that subkey. The subkeys
            // were just listed: a plain ASCII name that is none of them would
            // not open, so only the others are tried.
            if (!valueName.empty() && (!IsAscii(valueName) || subkeys.count(FoldAscii(valueName)) != 0)) {
                UniqueKey subkey;
                rc = Os().RegOpenKeyExA(key, valueName.c_str(), 0, KEY_READ, subkey.Receive());
                if (rc == ERROR_SUCCESS) {
                    if (LONG sub = LoadOpenSubkey(pack, subkey, valueName)) return sub;
                    continue;
                }
                if (rc != ERROR_FILE_NOT_FOUND && rc != ERROR_INVALID_HANDLE) return rc;
            }
            std::unique_ptr<PackItem> item;
            int32_t binxMode = 0;
            if (DecodeRegistryValue(ItemNameOfValue(valueName).c_str(), type, data.data(), dataLength, cipherKey_,
                                    keyLength_, item, binxMode) != 0) {
                unmapped_ = true;
                return ERROR_INVALID_DATA;
            }
            if (binxMode != 0) pack.SetMode(binxMode, false);
            pack.Add(std::move(item));
        }
        return ERROR_SUCCESS;
    }

    // True when the load failed on content this mapping has no item for,
    // rather than on a registry call.
    bool Unmapped() const { return unmapped_; }

private:
    // A subkey that has gone, or (unless gaps are refused) that may not be
    // read, is left out.
    bool Skipped(LONG rc) const {
        return rc == ERROR_FILE_NOT_FOUND || (gaps_ == Gaps::Skipped && rc == ERROR_ACCESS_DENIED);
    }

    LONG LoadSubkey(Pack& pack, HKEY parent, const std::string& name) {
        UniqueKey subkey;
        const LONG rc = Os().RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, subkey.Receive());
        if (rc != ERROR_SUCCESS) return Skipped(rc) ? ERROR_SUCCESS : rc;
        return LoadOpenSubkey(pack, subkey, name);
    }

    LONG LoadOpenSubkey(Pack& pack, UniqueKey& subkey, const std::string& name) {
        auto nested = std::make_unique<Pack>();
        const LONG rc = LoadKey(*nested, subkey.Get());
        subkey.Reset();
        if (rc != ERROR_SUCCESS) {
            if (gaps_ == Gaps::Refused && unmapped_) return rc;
            if (!Skipped(rc)) return rc;
            unmapped_ = false;
            return ERROR_SUCCESS;
        }
        pack.Add(std::make_unique<PackItem>(name.c_str(), std::move(nested)));
        return ERROR_SUCCESS;
    }

    const uint8_t* cipherKey_;
    int32_t keyLength_;
    Gaps gaps_;
    bool unmapped_ = false;
};

std::string KeyText(HKEY root, const std::string& path) {
    std::string name = RootKeyName(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(root)));
    if (name.empty()) name = StringPrintf("0x%08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(root)));
    return name + "\\" + path;
}

}  // namespace

LONG RegistrySubtree::Validate(const Pack& pack) { return ValidateForRegistry(pack); }

LONG RegistrySubtree::Save(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    if (Validate(pack) != 0) return ERROR_INVALID_DATA;
    // An empty path would name the root key itself.
    if (root_ == nullptr || path_.empty()) return ERROR_INVALID_PARAMETER;

    UniqueKey target;
    DWORD disposition = 0;
    LONG rc = CreateKey(root_, path_.c_str(), target, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition == REG_OPENED_EXISTING_KEY) {
        target.Reset();
        if (const auto replaced = ReplaceSetAside(pack, key, keyLength)) return *replaced;
        if ((rc = CreateKey(root_, path_.c_str(), target, &disposition)) != ERROR_SUCCESS) return rc;
    }

    // The settings there now are read first, so that a write that fails half
    // way can put them back. When they cannot be read nothing is touched,
    // unless they hold what the mapping has no item for: there is no copy of
    // such settings to keep, and they are replaced as they stand.
    std::unique_ptr<Pack> previous;
    if (disposition == REG_OPENED_EXISTING_KEY) {
        previous = std::make_unique<Pack>();
        Loader loader(key, keyLength, Loader::Gaps::Refused);
        rc = loader.LoadKey(*previous, target.Get());
        if (rc != ERROR_SUCCESS) {
            if (!loader.Unmapped()) return rc;
            previous.reset();
        }
        rc = EmptyAndRecreate(root_, path_.c_str(), target);
    }
    Writer writer(key, keyLength);
    if (rc == ERROR_SUCCESS) rc = writer.WriteItems(pack, target.Get());
    target.Reset();
    if (rc == ERROR_SUCCESS) return rc;

    // No partly written tree is left behind.
    RemoveKey(root_, path_.c_str());
    if (disposition == REG_OPENED_EXISTING_KEY) {
        const LONG restored = previous ? writer.SavePack(*previous, root_, path_.c_str()) : rc;
        if (restored != ERROR_SUCCESS) {
            if (previous) RemoveKey(root_, path_.c_str());
            WriteLogLine(StringPrintf("Code: %d The previous settings could not be written back: %s is left without them",
                                      static_cast<int>(restored), KeyText(root_, path_).c_str()));
        }
    }
    return rc;
}

std::optional<LONG> RegistrySubtree::ReplaceSetAside(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    // The settings there now move aside under a name of their own, next to
    // where they were; they are deleted once the new ones are complete, and
    // take their place again when writing fails. Where keys cannot be
    // renamed, the caller keeps a copy in memory instead.
    const size_t slash = path_.rfind('\\');
    const std::string leaf = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    const std::string asideLeaf = StringPrintf("%s.replaced-%lX-%lX", leaf.c_str(),
                                               static_cast<unsigned long>(::GetCurrentProcessId()),
                                               static_cast<unsigned long>(Os().GetTickCount()));
    const std::string aside = path_.substr(0, path_.size() - leaf.size()) + asideLeaf;
    if (Os().RegRenameKey(root_, Wide(path_).c_str(), Wide(asideLeaf).c_str()) != ERROR_SUCCESS) return std::nullopt;

    Writer writer(key, keyLength);
    UniqueKey target;
    LONG rc = CreateKey(root_, path_.c_str(), target, nullptr);
    if (rc == ERROR_SUCCESS) rc = writer.WriteItems(pack, target.Get());
    target.Reset();
    if (rc == ERROR_SUCCESS) {
        std::string known = aside;
        KnownKeyRemover(root_).Remove(pack, known);
        if (const LONG dropped = RemoveKey(root_, aside.c_str()))
            WriteLogLine(StringPrintf("Code: %d The replaced settings could not be deleted: %s is left behind",
                                      static_cast<int>(dropped), KeyText(root_, aside).c_str()));
        return ERROR_SUCCESS;
    }
    // No partly written tree is left behind; the previous settings return.
    RemoveKey(root_, path_.c_str());
    if (const LONG back = Os().RegRenameKey(root_, Wide(aside).c_str(), Wide(leaf).c_str()))
        WriteLogLine(StringPrintf("Code: %d The previous settings could not be put back: %s is left without "
                                  "them; they are kept in %s",
                                  static_cast<int>(back), KeyText(root_, path_).c_str(),
                                  KeyText(root_, aside).c_str()));
    return rc;
}

LONG RegistrySubtree::Load(Pack& pack, const uint8_t* key, int32_t keyLength) const {
    if (root_ == nullptr || path_.empty()) return ERROR_INVALID_PARAMETER;
    UniqueKey open;
    if (LONG rc = Os().RegOpenKeyExA(root_, path_.c_str(), 0, KEY_READ, open.Receive())) return rc;
    const LONG rc = Loader(key, keyLength).LoadKey(pack, open.Get());
    open.Reset();
    pack.SetCaseSensitiveNames(0);
    return rc;
}

LONG RegistrySubtree::SaveItem(const PackItem& item, HKEY key, const char* subkeyPath, const uint8_t* cipherKey,
                               int32_t keyLength, int32_t mode) {
    if (key == nullptr) return ERROR_INVALID_PARAMETER;
    if (ValidateItemForRegistry(item) != 0) return ERROR_INVALID_DATA;
    if (item.Type() == kPackItemPack) {
        // The nested pack is saved like any other: replaced as a whole, and
        // put back as it was when writing fails.
        const bool below = subkeyPath != nullptr && *subkeyPath != '\0';
        const std::string path = below ? std::string(subkeyPath) + "\\" + item.Name() : std::string(item.Name());
        return RegistrySubtree(key, path).Save(Writer::NestedOf(item), cipherKey, keyLength);
    }
    return Writer(cipherKey, keyLength).SaveItem(item, key, subkeyPath, mode);
}

LONG RegistrySubtree::DeleteContents(HKEY key) {
    DWORD longest = 0;
    if (LONG rc = Os().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr))
        return rc;
    std::vector<char> name(2 * size_t{longest} + 1);
    for (;;) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = Os().RegEnumKeyExA(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        // A key without subkeys goes at once; one with subkeys refuses
        // (access denied) and is emptied first.
        if (Os().RegDeleteKeyA(key, name.data()) == ERROR_SUCCESS) continue;
        UniqueKey subkey;
        if ((rc = Os().RegOpenKeyExA(key, name.data(), 0, kSubtreeAccess, subkey.Receive())) != ERROR_SUCCESS)
            return rc;
        rc = DeleteContents(subkey.Get());
        subkey.Reset();
        if (rc != ERROR_SUCCESS) return rc;
        if ((rc = Os().RegDeleteKeyA(key, name.data())) != ERROR_SUCCESS) return rc;
    }
}

}  // namespace ca
