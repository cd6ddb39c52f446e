// RegistrySubtree: a registry key whose values and subkeys are the items of
// one Pack. A pack item becomes a subkey holding the nested pack, the item
// "<UNNAMED_VALUE>" the key's default value, every other item a value in the
// encodings of registry_encoding.h.
//
// Every operation returns a Windows error code (0 on success) and never
// throws. Keys are opened through the platform table and owned by UniqueKey.
#pragma once

#include "options/pack.h"
#include "runtime/platform.h"

#include <optional>
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
    // touched when validation fails or when the key cannot be created. The
    // present content is renamed aside while the new one is written and
    // deleted once it is complete; when writing fails, the partial write is
    // removed and the old content takes its place again, exactly as it was.
    // Where keys cannot be renamed, the old content is read first (nothing is
    // touched when it cannot be) and written back, in the encodings of this
    // mapping, after a failed write. A log line tells when either way fails.
    // `key` is the cipher key of binx values (none: all zero).
    LONG Save(const Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) const;

    // Reads the key into `pack` (normally empty; partly filled on failure).
    // Subkeys that cannot be found or opened are skipped. The root of the
    // tree compares names without letter case afterwards, as the registry does.
    LONG Load(Pack& pack, const uint8_t* key = nullptr, int32_t keyLength = 0) const;

    // Writes one item into an open key (or into `subkeyPath` below it, created
    // when missing); a pack item replaces the subkey of its name as a whole.
    // `mode` is that of the pack holding the item.
    static LONG SaveItem(const PackItem& item, HKEY key, const char* subkeyPath, const uint8_t* cipherKey,
                         int32_t keyLength, int32_t mode);

    // Deletes every subkey below an open key, depth first. Its values stay.
    static LONG DeleteContents(HKEY key);

    HKEY Root() const { return root_; }
    const std::string& Path() const { return path_; }

private:
    // Replaces existing settings by setting them aside under another name
    // while the new ones are written; none when they cannot be renamed.
    std::optional<LONG> ReplaceSetAside(const Pack& pack, const uint8_t* key, int32_t keyLength) const;

    HKEY root_;
    std::string path_;
};

}  // namespace ca
