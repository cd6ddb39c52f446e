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

#include <string>

namespace ca {

// Access of the keys written: KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY.
constexpr REGSAM kSubtreeAccess = 0x2001F;

class RegistrySubtree {
public:
    RegistrySubtree(HKEY root, std::string path) : root_(root), path_(std::move(path)) {}

    // 0, or ERROR_INVALID_DATA when an item has an empty name or a pack item
    // holds more than one pack.
    static LONG Validate(const Pack& pack);

    // Replaces the key as a whole with the pack: values and subkeys that are
    // not in the pack disappear, items are written in list order. Nothing is
    // touched when validation fails. The new settings are written under a
    // name of their own beside the key and swapped in by renames once they
    // are complete; the previous ones are deleted only after the swap. So
    // whenever the process ends, the key holds the previous settings, the
    // new ones, or (between two renames) nothing; never a part. What an
    // interrupted save left is finished first (see Recover). A failure
    // (an exception included: a failed allocation is ERROR_NOT_ENOUGH_MEMORY)
    // leaves the previous settings. Where keys cannot be renamed, the old
    // content is read into memory first (nothing is touched when it cannot
    // be) and written back after a failed write. A log line tells when
    // either way fails to put things back.
    // `key` is the cipher key of binx values (none: all zero).
    LONG Save(const Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) const;

    // Finishes what an interrupted save left beside the key: settings set
    // aside and not replaced come back, complete new settings whose swap had
    // begun are put in place, the rest is deleted. Logs one line when it
    // found something. 0 when nothing is left (or there was nothing).
    LONG Recover() const;

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
    LONG SaveSwapped(const Pack& pack, const uint8_t* key, int32_t keyLength) const;
    // Where keys cannot be renamed: written in place, a copy kept in memory.
    LONG SaveInPlace(const Pack& pack, const uint8_t* key, int32_t keyLength) const;

    HKEY root_;
    std::string path_;
};

}  // namespace ca
