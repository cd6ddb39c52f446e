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

// The journal of a replacement: keys beside the settings key, named after
// it with a mark no user's key carries ("~CA2Q7."), and acted on only under
// those names:
//   <leaf>~CA2Q7.1journal  the journal itself: what is replaced (Kind), how
//                          far it got (State), the installation it is kept
//                          for (Product) and a copy of the version record
//                          the replacement overwrites (Record, Record.<name>);
//   <leaf>~CA2Q7.2new      the new settings, complete;
//   <leaf>~CA2Q7.3old      the previous settings, from the commit until the
//                          journal is finished;
//   <leaf>~CA2Q7.4undone   the new settings set aside by a rollback;
//   <leaf>~CA2Q7.5writing  the new settings while they are written.
// The journal key is made first and deleted last. The new record is written
// before the commit point, which is the rename of the settings key to
// <leaf>~CA2Q7.3old (for a first import, the rename of the new settings to
// <leaf>, announced by State 4 in the journal; for a record alone, State 1).
// Before it, recovery drops the new settings and puts the record copy back;
// after it, the new settings are put in place with the record already there.
//
// The names sort as <leaf> < journal < new < old < undone < writing, so that
// every rename moves a key to an earlier name, or past another key of the
// journal (<leaf> to old past the journal and new; <leaf> to undone past the
// journal). Wine's registry server loses a sibling key when a rename moves a
// key to a later name with no other key between the two names.
struct JournalNames {
    std::string parentPath;  // below the root; empty for the root itself
    std::string live, journal, written, replaced, undone, writing;
};

JournalNames NamesOf(const std::string& path) {
    JournalNames names;
    const size_t slash = path.rfind('\\');
    names.live = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash != std::string::npos) names.parentPath = path.substr(0, slash);
    const std::string mark = names.live + "~CA2Q7.";
    names.journal = mark + "1journal";
    names.written = mark + "2new";
    names.replaced = mark + "3old";
    names.undone = mark + "4undone";
    names.writing = mark + "5writing";
    return names;
}

// What the journal replaces.
enum JournalKind : DWORD { kFirstTree = 0, kReplacedTree = 1, kRecordOnly = 2, kIncomplete = 0xFFFFFFFF };
// How far it got. Pending: before the commit point (for a replaced tree, the
// settings key's rename tells).
enum JournalState : DWORD { kPending = 0, kKept = 1, kFinishing = 2, kUndoing = 3, kSwapping = 4 };

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return Guarded([&] {
        return Os().RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    });
}

// A DWORD of the journal into `value`, left as it is when the value is not
// there. A value that cannot be read is a failure, never taken for a missing
// one: the journal's steps depend on what it says.
LONG ReadDword(HKEY key, const char* name, DWORD& value) {
    DWORD read = 0, type = 0, size = sizeof read;
    const LONG rc = Guarded([&] {
        return Os().RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
    });
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || size != sizeof read) return ERROR_INVALID_DATA;
    value = read;
    return ERROR_SUCCESS;
}

// A value whole: type and bytes. 2 when it is not there.
LONG ReadValue(HKEY key, const std::string& name, DWORD& type, std::vector<BYTE>& data) {
    return Guarded([&] {
        for (int attempt = 0; attempt < kEnumRetries; ++attempt) {
            DWORD size = static_cast<DWORD>(data.size());
            const LONG rc = Os().RegQueryValueExA(key, name.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(),
                                                  &size);
            if (rc == ERROR_SUCCESS && !data.empty()) {
                data.resize(size);
                return rc;
            }
            if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return rc;
            data.resize(std::max<size_t>(size, 1));
        }
        return static_cast<LONG>(ERROR_MORE_DATA);
    });
}

LONG ReadString(HKEY key, const char* name, std::string& text) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (LONG rc = ReadValue(key, name, type, data)) return rc;
    text.assign(data.begin(), std::find(data.begin(), data.end(), BYTE{0}));
    return ERROR_SUCCESS;
}

// Copies the version record into the journal: whether its key exists and
// each of its values that does.
LONG CopyRecordIn(HKEY journal, const JournalRecord& record) {
    UniqueKey key;
    LONG rc = Guarded([&] {
        return Os().RegOpenKeyExA(record.root, record.path.c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    });
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    const bool exists = rc == ERROR_SUCCESS;
    for (const std::string& name : record.values) {
        if (!exists) break;
        DWORD type = 0;
        std::vector<BYTE> data;
        rc = ReadValue(key.Get(), name, type, data);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        if (rc != ERROR_SUCCESS) return rc;
        rc = Guarded([&] {
            return Os().RegSetValueExA(journal, ("Record." + name).c_str(), 0, type, data.data(),
                                       static_cast<DWORD>(data.size()));
        });
        if (rc != ERROR_SUCCESS) return rc;
    }
    return SetDword(journal, "Record", exists ? 1 : 0);
}

// Puts the journal's copy of the version record back, writing only what
// differs from it (`changed` tells whether anything did). Without a copy (the
// journal was interrupted while it was being made) the record is untouched.
LONG CopyRecordOut(HKEY journal, const JournalRecord& record, bool& changed) {
    DWORD existed = 2;
    if (LONG rc = ReadDword(journal, "Record", existed)) return rc;
    if (existed == 2) return ERROR_SUCCESS;
    UniqueKey current;
    LONG rc = Guarded([&] {
        return Os().RegOpenKeyExA(record.root, record.path.c_str(), 0, KEY_QUERY_VALUE, current.Receive());
    });
    if (rc == ERROR_FILE_NOT_FOUND) {
        if (existed == 0) return ERROR_SUCCESS;
    } else if (rc != ERROR_SUCCESS) {
        return rc;
    } else if (existed == 0) {
        current.Reset();
        changed = true;
        rc = Guarded([&] { return Os().RegDeleteKeyA(record.root, record.path.c_str()); });
        return rc == ERROR_FILE_NOT_FOUND ? static_cast<LONG>(ERROR_SUCCESS) : rc;
    }
    UniqueKey key;
    for (const std::string& name : record.values) {
        DWORD type = 0, nowType = 0;
        std::vector<BYTE> data, now;
        rc = ReadValue(journal, "Record." + name, type, data);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
        const bool kept = rc == ERROR_SUCCESS;
        const LONG there = current ? ReadValue(current.Get(), name, nowType, now) : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        if (there != ERROR_SUCCESS && there != ERROR_FILE_NOT_FOUND) return there;
        if (kept == (there == ERROR_SUCCESS) && (!kept || (type == nowType && data == now))) continue;
        changed = true;
        if (!key) {
            rc = Guarded([&] {
                return Os().RegCreateKeyExA(record.root, record.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_WRITE, nullptr, key.Receive(), nullptr);
            });
            if (rc != ERROR_SUCCESS) return rc;
        }
        rc = Guarded([&] {
            return kept ? Os().RegSetValueExA(key.Get(), name.c_str(), 0, type, data.data(),
                                              static_cast<DWORD>(data.size()))
                        : Os().RegDeleteValueA(key.Get(), name.c_str());
        });
        if (rc != ERROR_SUCCESS && !(rc == ERROR_FILE_NOT_FOUND && !kept)) return rc;
    }
    return ERROR_SUCCESS;
}

// What to do with a journal found beside the settings.
enum class Resolution {
    Settle,    // finish it when it was committed, undo it otherwise
    Undo,      // undo it, unless its finishing has begun
};

// One pass over a journal: brings the settings, the record and the keys of
// the journal to the previous state or the new one, and removes the journal.
// A settings key that is there when the journal's new or undone settings
// should take its place (an application recreated it with its defaults) is an
// anomaly: every copy is kept, and the answer is ERROR_ALREADY_EXISTS.
class JournalPass {
public:
    JournalPass(HKEY parent, const JournalNames& names, const JournalRecord* record, std::string keyText)
        : parent_(parent), names_(names), record_(record), keyText_(std::move(keyText)) {}

    // `owner`: only a journal kept for that installation (none: any). 0 when
    // nothing is left (or there was nothing).
    LONG Run(Resolution resolution, const std::string* owner, const char* verb) {
        const LONG journal = Probe(parent_, names_.journal);
        if (journal == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (journal != ERROR_SUCCESS) return journal;
        LONG rc = Guarded([&] {
            return Os().RegOpenKeyExA(parent_, names_.journal.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                      key_.Receive());
        });
        if (rc != ERROR_SUCCESS) return rc;
        DWORD kind = kIncomplete, state = kPending;
        rc = ReadDword(key_.Get(), "Kind", kind);
        if (rc == ERROR_SUCCESS && owner != nullptr && kind != kIncomplete) {
            // A journal of another installation is left alone; one that was
            // never complete (no Kind: the process ended while it was being
            // made, before anything else changed) is undone whoever asks.
            std::string product;
            const LONG read = ReadString(key_.Get(), "Product", product);
            if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) rc = read;
            else if (read != ERROR_SUCCESS || product != *owner) return ERROR_SUCCESS;
        }
        if (rc == ERROR_SUCCESS) rc = ReadDword(key_.Get(), "State", state);
        if (rc == ERROR_SUCCESS) rc = Probes();
        if (rc == ERROR_SUCCESS) {
            if (kind == kIncomplete) kind = kRecordOnly;
            const bool forward = state == kFinishing ||
                                 (resolution == Resolution::Settle && !has_[kUndone] && state != kUndoing &&
                                  Committed(kind, state));
            rc = forward ? Finish(kind) : Undo(kind, state);
            if (forward && quietFinish_) quiet_ = true;
        }
        if (rc == ERROR_SUCCESS) {
            if (!quiet_) Trace(StringPrintf("The import into %s was %s: %s", keyText_.c_str(), verb, done_.c_str()));
        } else
            Trace(StringPrintf("Code: %d The import into %s could not be %s: %s", static_cast<int>(rc),
                               keyText_.c_str(), verb, done_.empty() ? "nothing done" : (done_ + "; no more").c_str()));
        return rc;
    }

    // Logs only a failure (a save undoing its own work).
    JournalPass& Quiet() {
        quiet_ = true;
        return *this;
    }

    // Logs only a failure when the journal was finished (the commit of a
    // journal kept for it is the installation's normal course).
    JournalPass& QuietWhenFinished() {
        quietFinish_ = true;
        return *this;
    }

    // The new settings' pack, whose key names mostly are the replaced ones'.
    void KnownShape(const RegistrySubtree::ShapeSource* shape) { shape_ = shape; }

    // The failure was the anomaly: a settings key where the journal's would go.
    bool Anomalous() const { return anomalous_; }

private:
    enum Slot { kLive, kWritten, kReplaced, kUndone, kWriting, kSlots };

    LONG Probes() {
        const std::string* names[kSlots] = {&names_.live, &names_.written, &names_.replaced, &names_.undone,
                                            &names_.writing};
        for (int slot = 0; slot < kSlots; ++slot) {
            const LONG rc = Probe(parent_, *names[slot]);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
            has_[slot] = rc == ERROR_SUCCESS;
        }
        return ERROR_SUCCESS;
    }

    bool Committed(DWORD kind, DWORD state) const {
        if (state == kKept) return true;
        if (kind == kReplacedTree) return has_[kReplaced];
        if (kind == kFirstTree) return state == kSwapping && has_[kLive] && !has_[kWritten];
        return false;
    }

    // `what` is told in the log line; null: a step of the journal's own.
    bool Step(LONG result, const char* what, LONG& rc) {
        if (result == ERROR_SUCCESS && what != nullptr) done_ += std::string(done_.empty() ? "" : "; ") + what;
        else rc = result;
        return result == ERROR_SUCCESS;
    }

    LONG Anomaly() {
        anomalous_ = true;
        done_ += std::string(done_.empty() ? "" : "; ") + "a settings key was made beside the journal, every copy kept";
        return ERROR_ALREADY_EXISTS;
    }

    // A key of the journal to delete that has gone meanwhile is as good as deleted.
    LONG Drop(const std::string& name) {
        const LONG result = DeleteTree(parent_, name);
        return result == ERROR_FILE_NOT_FOUND ? static_cast<LONG>(ERROR_SUCCESS) : result;
    }

    LONG Finish(DWORD kind) {
        LONG rc = ERROR_SUCCESS;
        if (has_[kWritten]) {
            if (kind != kReplacedTree || has_[kLive]) return Anomaly();
            if (!Step(RenameKey(parent_, names_.written, names_.live), "the new settings put in place", rc)) return rc;
        }
        if (!Step(SetDword(key_.Get(), "State", kFinishing), nullptr, rc)) return rc;
        if (has_[kWriting] && !Step(Drop(names_.writing), "incomplete new settings dropped", rc)) return rc;
        if (has_[kReplaced]) {
            if (shape_ != nullptr && *shape_) {
                Guarded([&] {
                    std::string known = names_.replaced;
                    if (const std::unique_ptr<Pack> pack = (*shape_)()) KnownKeyRemover(parent_).Remove(*pack, known);
                    return ERROR_SUCCESS;
                });
            }
            if (!Step(Drop(names_.replaced), "the replaced settings deleted", rc)) return rc;
        }
        return Close(rc);
    }

    LONG Undo(DWORD kind, DWORD state) {
        LONG rc = ERROR_SUCCESS;
        if (kind == kReplacedTree) {
            if (has_[kLive] && has_[kReplaced]) {
                // The new settings are in place: they step aside.
                if (has_[kWritten] || has_[kUndone]) return Anomaly();
                if (!Step(RenameKey(parent_, names_.live, names_.undone), "the new settings set aside", rc)) return rc;
                has_[kLive] = false;
                has_[kUndone] = true;
            }
            if (has_[kReplaced]) {
                if (!Step(RenameKey(parent_, names_.replaced, names_.live), "the previous settings put back", rc))
                    return rc;
            }
        } else if (kind == kFirstTree && state != kUndoing && !has_[kUndone] && Committed(kind, state)) {
            if (!Step(RenameKey(parent_, names_.live, names_.undone), "the new settings set aside", rc)) return rc;
            has_[kUndone] = true;
        }
        if (!Step(SetDword(key_.Get(), "State", kUndoing), nullptr, rc)) return rc;
        if (record_ != nullptr) {
            bool changed = false;
            const LONG back = Guarded([&] { return CopyRecordOut(key_.Get(), *record_, changed); });
            if (!Step(back, changed ? "the previous record put back" : nullptr, rc)) return rc;
        }
        if (has_[kWriting] && !Step(Drop(names_.writing), "incomplete new settings dropped", rc)) return rc;
        if (has_[kWritten] && !Step(Drop(names_.written), "new settings never put in place dropped", rc)) return rc;
        if (has_[kUndone] && !Step(Drop(names_.undone), "the new settings dropped", rc)) return rc;
        return Close(rc);
    }

    LONG Close(LONG rc) {
        key_.Reset();
        Step(Drop(names_.journal), nullptr, rc);
        return rc;
    }

    HKEY parent_;
    const JournalNames& names_;
    const JournalRecord* record_;
    std::string keyText_;
    UniqueKey key_;
    bool has_[kSlots] = {};
    bool anomalous_ = false;
    bool quiet_ = false;
    bool quietFinish_ = false;
    const RegistrySubtree::ShapeSource* shape_ = nullptr;
    std::string done_;
};

// The settings key's parent, open (created when `create`); the root itself
// for a key right below it. 2 when it does not exist and is not created.
LONG OpenParent(HKEY root, const JournalNames& names, bool create, UniqueKey& owned, HKEY& parent) {
    parent = root;
    if (names.parentPath.empty()) return ERROR_SUCCESS;
    const LONG rc = create ? CreateKey(root, names.parentPath.c_str(), owned, nullptr)
                           : Guarded([&] {
                                 return Os().RegOpenKeyExA(root, names.parentPath.c_str(), 0, kSubtreeAccess,
                                                           owned.Receive());
                             });
    parent = owned.Get();
    return rc;
}

// The owner and access list of a key, as a self-relative descriptor; empty
// when the key does not exist.
LONG ReadSecurity(HKEY parent, const std::string& name, std::vector<BYTE>& descriptor) {
    return Guarded([&] {
        UniqueKey key;
        LONG rc = Os().RegOpenKeyExA(parent, name.c_str(), 0, READ_CONTROL, key.Receive());
        if (rc == ERROR_FILE_NOT_FOUND) return static_cast<LONG>(ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) return rc;
        constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        DWORD size = 0;
        rc = Os().RegGetKeySecurity(key.Get(), kWhat, nullptr, &size);
        if (rc != ERROR_INSUFFICIENT_BUFFER) return rc == ERROR_SUCCESS ? static_cast<LONG>(ERROR_INVALID_DATA) : rc;
        descriptor.resize(size);
        return static_cast<LONG>(Os().RegGetKeySecurity(key.Get(), kWhat, descriptor.data(), &size));
    });
}

// Gives the new settings key the previous one's owner and access list. An
// owner the user may not give is logged and left as it is.
LONG CarrySecurity(HKEY parent, const std::string& name, std::vector<BYTE>& descriptor, const std::string& keyText) {
    return Guarded([&] {
        UniqueKey key;
        LONG rc = Os().RegOpenKeyExA(parent, name.c_str(), 0, WRITE_DAC | WRITE_OWNER, key.Receive());
        if (rc != ERROR_SUCCESS) rc = Os().RegOpenKeyExA(parent, name.c_str(), 0, WRITE_DAC, key.Receive());
        if (rc != ERROR_SUCCESS) return rc;
        auto* sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data());
        const LONG both = Os().RegSetKeySecurity(key.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
        if (both == ERROR_SUCCESS) return both;
        rc = Os().RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, sd);
        if (rc == ERROR_SUCCESS)
            Trace(StringPrintf("Code: %d The owner of %s could not be carried over to the new settings; their access "
                               "list was", static_cast<int>(both), keyText.c_str()));
        return rc;
    });
}

}  // namespace

LONG RegistrySubtree::Save(const Pack& pack, const uint8_t* key, int32_t keyLength) const {
    JournalOptions options;
    options.cipherKey = key;
    options.keyLength = keyLength;
    return Save(&pack, options);
}

LONG RegistrySubtree::Save(const Pack* pack, const JournalOptions& options) const {
    site_ = nullptr;
    if (pack != nullptr && Validate(*pack) != 0) return ERROR_INVALID_DATA;
    // An empty path would name the root key itself.
    if (root_ == nullptr || path_.empty() || path_.back() == '\\') return ERROR_INVALID_PARAMETER;
    // Whether keys can be renamed here (the call names no key and changes
    // nothing; only a system without the function answers "not implemented").
    // Without renames there is no journal, and nothing is touched.
    if (Guarded([] { return Os().RegRenameKey(nullptr, nullptr, L""); }) == ERROR_CALL_NOT_IMPLEMENTED) {
        site_ = "TGITY243MFDUW1E";
        Trace(StringPrintf("Code: %d Keys cannot be renamed on this system: the settings %s are left as they are",
                           static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED), KeyText(root_, path_).c_str()));
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return Guarded([&] { return SaveJournaled(pack, options); });
}

LONG RegistrySubtree::Recover() const {
    return Resolve(0, nullptr, "finished after an interruption");
}

LONG RegistrySubtree::Rollback(const std::string& owner) const { return Resolve(1, &owner, "rolled back"); }

LONG RegistrySubtree::Commit(const std::string& owner, const ShapeSource& shape) const {
    return Resolve(0, &owner, "committed", &shape);
}

LONG RegistrySubtree::Resolve(int undo, const std::string* owner, const char* verb, const ShapeSource* shape) const {
    site_ = nullptr;
    if (root_ == nullptr || path_.empty() || path_.back() == '\\') return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        const JournalNames names = NamesOf(path_);
        UniqueKey owned;
        HKEY parent = nullptr;
        const LONG rc = OpenParent(root_, names, false, owned, parent);
        if (rc == ERROR_FILE_NOT_FOUND) return static_cast<LONG>(ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) return rc;
        JournalPass pass(parent, names, record_, KeyText(root_, path_));
        if (owner != nullptr && !undo) pass.QuietWhenFinished();
        pass.KnownShape(shape);
        const LONG result = pass.Run(undo ? Resolution::Undo : Resolution::Settle, owner, verb);
        if (pass.Anomalous()) site_ = "TN6YQNSOLUAA6LU";
        return result;
    });
}

LONG RegistrySubtree::SaveJournaled(const Pack* pack, const JournalOptions& options) const {
    const JournalNames names = NamesOf(path_);
    UniqueKey owned;
    HKEY parent = nullptr;
    if (LONG rc = OpenParent(root_, names, true, owned, parent)) return rc;
    const std::string keyText = KeyText(root_, path_);
    {
        JournalPass pass(parent, names, record_, keyText);
        if (LONG rc = pass.Run(Resolution::Settle, nullptr, "finished after an interruption")) {
            if (pass.Anomalous()) site_ = "TN6YQNSOLUAA6LU";
            return rc;
        }
    }

    // What is replaced, and the access list the new settings take over.
    LONG rc = Probe(parent, names.live);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    const DWORD kind = pack == nullptr ? kRecordOnly : rc == ERROR_SUCCESS ? kReplacedTree : kFirstTree;
    std::vector<BYTE> security;
    if (kind == kReplacedTree) {
        if ((rc = ReadSecurity(parent, names.live, security)) != ERROR_SUCCESS) {
            site_ = "XJWN2RYR2GCKS6M";
            return rc;
        }
    }

    // The journal: a key that must be new, with the record's copy, the
    // installation it is kept for, and what it replaces (written last: a
    // journal without it was never complete).
    UniqueKey journal;
    DWORD disposition = 0;
    rc = CreateKey(parent, names.journal.c_str(), journal, &disposition);
    if (rc == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) rc = ERROR_ALREADY_EXISTS;
    if (rc == ERROR_SUCCESS && record_ != nullptr) rc = Guarded([&] { return CopyRecordIn(journal.Get(), *record_); });
    if (rc == ERROR_SUCCESS) {
        rc = Guarded([&] {
            return Os().RegSetValueExA(journal.Get(), "Product", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(options.owner.c_str()),
                                       static_cast<DWORD>(options.owner.size() + 1));
        });
    }
    if (rc == ERROR_SUCCESS) rc = SetDword(journal.Get(), "Kind", kind);
    auto undo = [&](LONG failure) {
        journal.Reset();
        JournalPass(parent, names, record_, keyText).Quiet().Run(Resolution::Undo, nullptr, "undone");
        return failure;
    };
    if (rc != ERROR_SUCCESS) {
        site_ = "6WLRYRIO4ME42Z1";
        if (disposition == REG_CREATED_NEW_KEY) return undo(rc);
        return rc;
    }

    if (pack != nullptr) {
        // The new settings, written under their own name into a key that must
        // be new: nothing is merged into what someone else made meanwhile.
        UniqueKey target;
        rc = CreateKey(parent, names.writing.c_str(), target, &disposition);
        if (rc == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) rc = ERROR_ALREADY_EXISTS;
        if (rc == ERROR_SUCCESS && !security.empty()) {
            rc = CarrySecurity(parent, names.writing, security, keyText);
            if (rc != ERROR_SUCCESS) site_ = "XJWN2RYR2GCKS6M";
        }
        if (rc == ERROR_SUCCESS)
            rc = Guarded([&] { return Writer(options.cipherKey, options.keyLength).WriteItems(*pack, target.Get()); });
        target.Reset();
        if (rc == ERROR_SUCCESS) rc = RenameKey(parent, names.writing, names.written);
        if (rc != ERROR_SUCCESS) return undo(rc);
    }

    // The record that goes with the new settings, before the commit point.
    if (options.writeRecord) {
        rc = Guarded([&] { return options.writeRecord(); });
        if (rc != ERROR_SUCCESS) return undo(rc);
    }

    // The commit point, then the new settings take the settings' name.
    if (kind == kReplacedTree) {
        rc = RenameKey(parent, names.live, names.replaced);
        if (rc != ERROR_SUCCESS) return undo(rc);
        rc = RenameKey(parent, names.written, names.live);
        if (rc != ERROR_SUCCESS) {
            if (const LONG back = RenameKey(parent, names.replaced, names.live)) {
                Trace(StringPrintf("Code: %d The previous settings could not be put back: %s is left without them; "
                                   "the next import puts the new ones in place",
                                   static_cast<int>(back), keyText.c_str()));
                return rc;
            }
            return undo(rc);
        }
    } else if (kind == kFirstTree) {
        if ((rc = SetDword(journal.Get(), "State", kSwapping)) != ERROR_SUCCESS) return undo(rc);
        if ((rc = RenameKey(parent, names.written, names.live)) != ERROR_SUCCESS) return undo(rc);
    } else if ((rc = SetDword(journal.Get(), "State", kKept)) != ERROR_SUCCESS) {
        return undo(rc);
    }
    if (!options.owner.empty()) {
        // Kept for the installation's commit or rollback.
        SetDword(journal.Get(), "State", kKept);
        return ERROR_SUCCESS;
    }

    // Not kept: the previous settings go at once.
    const LONG finished = Guarded([&] {
        if (LONG step = SetDword(journal.Get(), "State", kFinishing)) return step;
        journal.Reset();
        if (kind == kReplacedTree) {
            std::string known = names.replaced;
            KnownKeyRemover(parent).Remove(*pack, known);
            if (LONG step = DeleteTree(parent, names.replaced)) return step;
        }
        return DeleteTree(parent, names.journal);
    });
    if (finished != ERROR_SUCCESS)
        Trace(StringPrintf("Code: %d The replaced settings could not be deleted: %s is left behind; the next import "
                           "deletes it",
                           static_cast<int>(finished), KeyText(root_, path_ + "~CA2Q7.3old").c_str()));
    return ERROR_SUCCESS;
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
