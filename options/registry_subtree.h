// RegistrySubtree: a registry key whose values and subkeys are the items of
// one Pack. A pack item becomes a subkey holding the nested pack, the item
// "<UNNAMED_VALUE>" the key's default value, every other item a value in the
// encodings of registry_encoding.h.
//
// Every operation returns a Windows error code (0 on success) and never
// throws. Keys are opened through the platform table and owned by UniqueKey.
#pragma once

#include "options/codec/pack.h"
#include "runtime/platform.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ca {

// Access of the keys written: KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY.
constexpr REGSAM kSubtreeAccess = 0x2001F;

// The version record that goes with the settings: values of another key,
// copied into the replacement's journal and put back with the previous
// settings.
struct JournalRecord {
    HKEY root = nullptr;
    std::string path;
    std::vector<std::string> values;
};

struct JournalOptions {
    // Non-empty (the ProductCode of the installation): the journal is kept
    // after the save, for the installation's Commit or Rollback. Empty: the
    // previous settings are deleted at once.
    std::string owner;
    // Writes the new record, once the new settings are complete and before
    // the commit point; a failure undoes the save, which returns its code.
    std::function<LONG()> writeRecord;
    const uint8_t* cipherKey = nullptr;  // of binx values (none: all zero)
    int32_t keyLength = 0;
};

class RegistrySubtree {
public:
    RegistrySubtree(HKEY root, std::string path, const JournalRecord* record = nullptr)
        : root_(root), path_(std::move(path)), record_(record) {}

    // 0, or ERROR_INVALID_DATA when an item has an empty name or a pack item
    // holds more than one pack.
    static LONG Validate(const Pack& pack);

    // Replaces the key as a whole with the pack: values and subkeys that are
    // not in the pack disappear, items are written in list order. Nothing is
    // touched when validation fails, nor where keys cannot be renamed
    // (ERROR_CALL_NOT_IMPLEMENTED, logged). The replacement goes through a
    // journal of keys beside the key (registry_subtree.cpp): the new settings
    // are written under a name of their own, the record (when the subtree has
    // one) is copied into the journal and the new one written, and a rename
    // commits. Whenever the process ends, the key and the record are the
    // previous ones or the new ones; the journal says which, and the next
    // save, Recover, Commit or Rollback settles it. A failure (an exception
    // included: a failed allocation is ERROR_NOT_ENOUGH_MEMORY) leaves the
    // previous settings and record. The new key takes the owner and access
    // list of the previous one. A null pack replaces the record alone.
    // `key` is the cipher key of binx values (none: all zero).
    LONG Save(const Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) const;
    LONG Save(const Pack* pack, const JournalOptions& options) const;

    // Settles a journal an interrupted save left beside the key: committed
    // settings are finished, the rest undone. Logs one line when it found a
    // journal. 0 when none is left (or there was none).
    LONG Recover() const;
    // The installation's rollback: puts back the previous settings and
    // record of the journal kept for `owner`, whatever state it is in
    // (unless its deletion of the previous settings has begun: then it is
    // finished). Nothing without such a journal; harmless twice.
    LONG Rollback(const std::string& owner) const;
    // The installation's commit: deletes the previous settings kept for
    // `owner` (a journal that never reached its commit point is undone).
    // `shape` gives the new settings' pack, if known, when there are previous
    // settings to delete: it names most of their keys, which spares walking
    // them.
    using ShapeSource = std::function<std::unique_ptr<Pack>()>;
    LONG Commit(const std::string& owner, const ShapeSource& shape = {}) const;

    // The tag of the failure site the last call ended at, where it has one
    // of its own (keys cannot be renamed, the access list could not be
    // carried over, the journal could not be made, a settings key beside a
    // journal); null otherwise.
    const char* FailureSite() const { return site_; }

    // Reads the key into `pack` (normally empty; partly filled on failure).
    // Subkeys that cannot be found or opened are skipped. The root of the
    // tree compares names without letter case afterwards, as the registry does.
    LONG Load(Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) const;

    // Writes one item into an open key (or into `subkeyPath` below it, created
    // when missing); a pack item replaces the subkey of its name as a whole.
    // `mode` is that of the pack holding the item.
    static LONG SaveItem(const PackItem& item, HKEY key, const char* subkeyPath, const uint8_t* cipherKey,
                         int32_t keyLength, int32_t mode);

    // Deletes every subkey below an open key, depth first, by their wide
    // names (any name can be removed). Its values stay.
    static LONG DeleteContents(HKEY key);

    HKEY Root() const { return root_; }
    const std::string& Path() const { return path_; }

private:
    LONG SaveJournaled(const Pack* pack, const JournalOptions& options) const;
    LONG Resolve(int undo, const std::string* owner, const char* verb, const ShapeSource* shape = nullptr) const;

    HKEY root_;
    std::string path_;
    const JournalRecord* record_;
    mutable const char* site_ = nullptr;
};

}  // namespace ca
