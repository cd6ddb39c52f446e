#include "options/registry_subtree.h"

#include "diag/text_format.h"
#include "options/codec/registry_encoding.h"
#include "runtime/action_scope.h"
#include "runtime/handles.h"
#include "runtime/log.h"
#include "runtime/text.h"

#include <algorithm>
#include <cwchar>
#include <new>
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

// A key name in UTF-16, from the ANSI code page; false when it has none.
bool Widen(const std::string& text, std::wstring& wide) {
    if (IsAscii(text)) {
        wide.assign(text.begin(), text.end());
        return true;
    }
    const int length = Os().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return false;
    wide.assign(static_cast<size_t>(length), L'\0');
    if (Os().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length) <= 0) return false;
    wide.resize(wcslen(wide.c_str()));
    return true;
}

// One record of the save's own trace: kwinst.log and, within an action, the
// installer's log.
void Trace(const std::string& text) {
    WriteLogLine(text);
    SendInfoMessage(text);
}

// Runs one step that may throw (an allocation); what it throws becomes the
// code of a failing call: ERROR_NOT_ENOUGH_MEMORY for a failed allocation.
template <typename F>
LONG Guarded(F&& step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// The steps below never throw: what a call throws is its failure.
LONG CreateKey(HKEY parent, const char* path, UniqueKey& key, DWORD* disposition) {
    return Guarded([&] {
        return Os().RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kSubtreeAccess, nullptr,
                                    key.Receive(), disposition);
    });
}

// Deletes every subkey below an open key, by their wide names.
LONG DeleteContentsWide(HKEY key) {
    DWORD longest = 0;
    if (LONG rc = Os().RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr))
        return rc;
    std::vector<wchar_t> name(std::max<size_t>(size_t{longest} + 1, kLeastNameBuffer));
    for (;;) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = Os().RegEnumKeyExW(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        // A key without subkeys goes at once; one with subkeys refuses
        // (access denied) and is emptied first.
        if (Os().RegDeleteKeyW(key, name.data()) == ERROR_SUCCESS) continue;
        UniqueKey subkey;
        if ((rc = Os().RegOpenKeyExW(key, name.data(), 0, KEY_READ, subkey.Receive())) != ERROR_SUCCESS) return rc;
        rc = DeleteContentsWide(subkey.Get());
        subkey.Reset();
        if (rc != ERROR_SUCCESS) return rc;
        if ((rc = Os().RegDeleteKeyW(key, name.data())) != ERROR_SUCCESS) return rc;
    }
}

// Removes a key with everything below it: in one call where the system can,
// and key by key where it cannot, or where it stopped at a key it may not
// read (deleting a key needs no right to read it).
LONG DeleteTreeOf(HKEY parent, const std::string& path) {
    std::wstring wide;
    if (!Widen(path, wide)) return ERROR_NO_UNICODE_TRANSLATION;
    const LONG whole = Os().RegDeleteTreeW(parent, wide.c_str());
    if (whole == ERROR_SUCCESS || whole == ERROR_FILE_NOT_FOUND) return whole;
    if (Os().RegDeleteKeyW(parent, wide.c_str()) == ERROR_SUCCESS) return ERROR_SUCCESS;
    UniqueKey key;
    if (LONG rc = Os().RegOpenKeyExW(parent, wide.c_str(), 0, KEY_READ, key.Receive()))
        return whole == ERROR_CALL_NOT_IMPLEMENTED ? rc : whole;
    const LONG contents = DeleteContentsWide(key.Get());
    key.Reset();
    return contents ? contents : Os().RegDeleteKeyW(parent, wide.c_str());
}

LONG DeleteTree(HKEY parent, const std::string& path) {
    return Guarded([&] { return DeleteTreeOf(parent, path); });
}

LONG RemoveKey(HKEY parent, const char* path) { return DeleteTree(parent, path); }

LONG RenameKey(HKEY parent, const std::string& from, const std::string& to) {
    return Guarded([&] {
        std::wstring wideFrom, wideTo;
        if (!Widen(from, wideFrom) || !Widen(to, wideTo)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
        return static_cast<LONG>(Os().RegRenameKey(parent, wideFrom.c_str(), wideTo.c_str()));
    });
}

// 0 when the key exists, 2 when it does not, or the failure that keeps from
// telling.
LONG Probe(HKEY parent, const std::string& name) {
    return Guarded([&] {
        UniqueKey key;
        const LONG rc = Os().RegOpenKeyExA(parent, name.c_str(), 0, KEY_QUERY_VALUE, key.Receive());
        return rc;
    });
}

// Deletes the subkeys of an existing key and the key itself, then creates it
// again: it is written from empty.
LONG EmptyAndRecreate(HKEY parent, const char* path, UniqueKey& key) {
    if (LONG rc = DeleteContentsWide(key.Get())) return rc;
    key.Reset();
    if (LONG rc = Os().RegDeleteKeyA(parent, path)) return rc;
    DWORD disposition = 0;
    if (LONG rc = CreateKey(parent, path, key, &disposition)) return rc;
    return disposition == REG_CREATED_NEW_KEY ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
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

namespace {

// The keys of a replacement, beside the settings key and named after it:
//   <leaf>.writing  the new settings while they are written;
//   <leaf>.new      the new settings, complete;
//   <leaf>.old      the previous settings, from the moment the new ones
//                   take their name until they are deleted.
// Renaming the settings key to <leaf>.old commits the replacement (for a
// first save, renaming <leaf>.new to <leaf>). Before that, whatever is left
// of the new settings is dropped; after it, they are put in place.
//
// The names sort as <leaf> < <leaf>.new < <leaf>.old < <leaf>.writing, so
// that every rename moves a key to an earlier name, or (<leaf> to
// <leaf>.old, while <leaf>.new exists) past another key. Wine's registry
// server loses a sibling key when a rename moves a key to a later name with
// no other key between the two names.
struct SwapNames {
    std::string parentPath;  // below the root; empty for the root itself
    std::string live, writing, written, replaced;
};

SwapNames NamesOf(const std::string& path) {
    SwapNames names;
    const size_t slash = path.rfind('\\');
    names.live = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash != std::string::npos) names.parentPath = path.substr(0, slash);
    names.writing = names.live + ".writing";
    names.written = names.live + ".new";
    names.replaced = names.live + ".old";
    return names;
}

// Finishes what an interrupted replacement left beside the settings key, so
// that it holds exactly the previous settings or exactly the new ones and
// nothing else of the replacement is left. Logs one line when it found
// something. Returns the first failure; the rest is then left for next time.
LONG RecoverLeftovers(HKEY parent, const SwapNames& names, const std::string& keyText) {
    LONG writing = Probe(parent, names.writing);
    LONG written = Probe(parent, names.written);
    LONG replaced = Probe(parent, names.replaced);
    for (const LONG probe : {writing, written, replaced}) {
        if (probe != ERROR_SUCCESS && probe != ERROR_FILE_NOT_FOUND) return probe;
    }
    if (writing == ERROR_FILE_NOT_FOUND && written == ERROR_FILE_NOT_FOUND && replaced == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;

    std::string done;
    LONG rc = ERROR_SUCCESS;
    auto step = [&](LONG result, const char* what) {
        if (result == ERROR_SUCCESS) done += std::string(done.empty() ? "" : "; ") + what;
        else rc = result;
        return result == ERROR_SUCCESS;
    };
    // A key to delete that has gone meanwhile is as good as deleted.
    auto drop = [&](const std::string& name) {
        const LONG result = DeleteTree(parent, name);
        return result == ERROR_FILE_NOT_FOUND ? static_cast<LONG>(ERROR_SUCCESS) : result;
    };
    if (writing == ERROR_SUCCESS) step(drop(names.writing), "incomplete new settings dropped");
    if (rc == ERROR_SUCCESS && replaced == ERROR_SUCCESS) {
        // The replacement was committed unless the settings key is there.
        const LONG live = Probe(parent, names.live);
        if (live != ERROR_SUCCESS && live != ERROR_FILE_NOT_FOUND) {
            rc = live;
        } else if (live == ERROR_FILE_NOT_FOUND && written == ERROR_SUCCESS) {
            if (step(RenameKey(parent, names.written, names.live), "the new settings put in place"))
                written = ERROR_FILE_NOT_FOUND;
        } else if (live == ERROR_FILE_NOT_FOUND) {
            if (step(RenameKey(parent, names.replaced, names.live), "the previous settings put back"))
                replaced = ERROR_FILE_NOT_FOUND;
        }
    }
    if (rc == ERROR_SUCCESS && written == ERROR_SUCCESS)
        step(drop(names.written), "new settings never put in place dropped");
    if (rc == ERROR_SUCCESS && replaced == ERROR_SUCCESS)
        step(drop(names.replaced), "the replaced settings deleted");
    if (rc == ERROR_SUCCESS)
        Trace(StringPrintf("An interrupted import of %s was finished: %s", keyText.c_str(), done.c_str()));
    else
        Trace(StringPrintf("Code: %d An interrupted import of %s could not be finished: %s", static_cast<int>(rc),
                           keyText.c_str(), done.empty() ? "nothing done" : (done + "; no more").c_str()));
    return rc;
}

// The settings key's parent, open (created when `create`); the root itself
// for a key right below it. 2 when it does not exist and is not created.
LONG OpenParent(HKEY root, const SwapNames& names, bool create, UniqueKey& owned, HKEY& parent) {
    parent = root;
    if (names.parentPath.empty()) return ERROR_SUCCESS;
    const LONG rc = create ? CreateKey(root, names.parentPath.c_str(), owned, nullptr)
                           : Os().RegOpenKeyExA(root, names.parentPath.c_str(), 0, kSubtreeAccess, owned.Receive());
    parent = owned.Get();
    return rc;
}

}  // namespace

LONG RegistrySubtree::Save(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    if (Validate(pack) != 0) return ERROR_INVALID_DATA;
    // An empty path would name the root key itself.
    if (root_ == nullptr || path_.empty() || path_.back() == '\\') return ERROR_INVALID_PARAMETER;
    return Guarded([&] { return SaveSwapped(pack, key, keyLength); });
}

LONG RegistrySubtree::Recover() const {
    if (root_ == nullptr || path_.empty() || path_.back() == '\\') return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        const SwapNames names = NamesOf(path_);
        UniqueKey owned;
        HKEY parent = nullptr;
        const LONG rc = OpenParent(root_, names, false, owned, parent);
        if (rc == ERROR_FILE_NOT_FOUND) return static_cast<LONG>(ERROR_SUCCESS);
        return rc ? rc : RecoverLeftovers(parent, names, KeyText(root_, path_));
    });
}

LONG RegistrySubtree::SaveSwapped(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    const SwapNames names = NamesOf(path_);
    UniqueKey owned;
    HKEY parent = nullptr;
    if (LONG rc = OpenParent(root_, names, true, owned, parent)) return rc;
    if (LONG rc = RecoverLeftovers(parent, names, KeyText(root_, path_))) return rc;
    // Whether keys can be renamed here (the call names no key and changes
    // nothing; only a system without the function answers "not implemented").
    if (Guarded([] { return Os().RegRenameKey(nullptr, nullptr, L""); }) == ERROR_CALL_NOT_IMPLEMENTED)
        return SaveInPlace(pack, key, keyLength);

    // The new settings, written under their own name into a key that must
    // be new: nothing is merged into what someone else made meanwhile.
    UniqueKey target;
    DWORD disposition = 0;
    LONG rc = CreateKey(parent, names.writing.c_str(), target, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition != REG_CREATED_NEW_KEY) {
        rc = ERROR_ALREADY_EXISTS;
    } else {
        rc = Guarded([&] { return Writer(key, keyLength).WriteItems(pack, target.Get()); });
    }
    target.Reset();
    if (rc == ERROR_SUCCESS) rc = RenameKey(parent, names.writing, names.written);
    if (rc != ERROR_SUCCESS) {
        // No partly written tree is left behind; what the removal leaves, the
        // next save or import drops.
        Guarded([&] { return DeleteTree(parent, names.writing); });
        return rc == ERROR_CALL_NOT_IMPLEMENTED ? SaveInPlace(pack, key, keyLength) : rc;
    }

    // The swap: the previous settings step aside (the commit), the new ones
    // take their name.
    rc = RenameKey(parent, names.live, names.replaced);
    const bool replacing = rc == ERROR_SUCCESS;
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) rc = RenameKey(parent, names.written, names.live);
    if (rc != ERROR_SUCCESS) {
        if (replacing) {
            if (const LONG back = RenameKey(parent, names.replaced, names.live)) {
                Trace(StringPrintf("Code: %d The previous settings could not be put back: %s is left without them; "
                                   "the next import puts the new ones in place",
                                   static_cast<int>(back), KeyText(root_, path_).c_str()));
                return rc;
            }
        }
        Guarded([&] { return DeleteTree(parent, names.written); });
        return rc;
    }
    if (!replacing) return ERROR_SUCCESS;

    const LONG dropped = Guarded([&] {
        std::string known = names.replaced;
        KnownKeyRemover(parent).Remove(pack, known);
        return DeleteTree(parent, names.replaced);
    });
    if (dropped != ERROR_SUCCESS)
        Trace(StringPrintf("Code: %d The replaced settings could not be deleted: %s is left behind; the next import "
                           "deletes it",
                           static_cast<int>(dropped), KeyText(root_, path_ + ".old").c_str()));
    return ERROR_SUCCESS;
}

LONG RegistrySubtree::SaveInPlace(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    // Where keys cannot be renamed, the settings there now are read first,
    // so that a write that fails half way can put them back. When they
    // cannot be read nothing is touched, unless they hold what the mapping
    // has no item for: there is no copy of such settings to keep, and they
    // are replaced as they stand.
    UniqueKey target;
    DWORD disposition = 0;
    LONG rc = CreateKey(root_, path_.c_str(), target, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    std::unique_ptr<Pack> previous;
    if (disposition == REG_OPENED_EXISTING_KEY) {
        previous = std::make_unique<Pack>();
        Loader loader(key, keyLength, Loader::Gaps::Refused);
        rc = Guarded([&] { return loader.LoadKey(*previous, target.Get()); });
        if (rc != ERROR_SUCCESS) {
            if (rc == ERROR_NOT_ENOUGH_MEMORY || !loader.Unmapped()) return rc;
            previous.reset();
        }
        rc = EmptyAndRecreate(root_, path_.c_str(), target);
    }
    Writer writer(key, keyLength);
    if (rc == ERROR_SUCCESS) rc = Guarded([&] { return writer.WriteItems(pack, target.Get()); });
    target.Reset();
    if (rc == ERROR_SUCCESS) return rc;

    // No partly written tree is left behind.
    RemoveKey(root_, path_.c_str());
    if (disposition == REG_OPENED_EXISTING_KEY) {
        const LONG restored =
            previous ? Guarded([&] { return writer.SavePack(*previous, root_, path_.c_str()); }) : rc;
        if (restored != ERROR_SUCCESS) {
            if (previous) RemoveKey(root_, path_.c_str());
            Trace(StringPrintf("Code: %d The previous settings could not be written back: %s is left without them",
                               static_cast<int>(restored), KeyText(root_, path_).c_str()));
        }
    }
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
    return Guarded([&] { return DeleteContentsWide(key); });
}

}  // namespace ca
