// How the items of a Pack are kept as registry values, in both directions.
// No Windows API here: the registry types are given by their numbers, so the
// encodings build and run with any compiler.
//
//   int, one value        REG_DWORD, 4 bytes little-endian
//   int, other counts     REG_BINARY: blob header (type 1, mode 0), the values big-endian
//   str, one value (or 0) REG_SZ: the text and its NUL (count 0: no data)
//   str, more values      REG_MULTI_SZ: each text and its NUL, then one more NUL
//   bin                   REG_BINARY: blob header (type 3, the pack's mode), per value
//                         a big-endian length and the bytes
//   binx                  REG_BINARY: blob header (type 5, the pack's mode), per value
//                         a big-endian length and the stored bytes (enciphered under mode 1)
//
// Blob header, 10 bytes: magic 68 96 79 16, item type, mode, value count
// (big-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "options/codec/pack.h"

namespace ca {

// Registry value types, numbered as the system numbers them.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// The error codes of the encodings, numbered as the system numbers them.
constexpr int32_t kEncodingInvalidData = 13;  // ERROR_INVALID_DATA

constexpr uint32_t kBlobMagic = 0x68967916;
constexpr size_t kBlobHeaderSize = 10;

// 0, or kEncodingInvalidData when an item has an empty name or a pack item
// holds more than one pack (nested packs are checked in turn).
int32_t ValidateForRegistry(const Pack& pack);
int32_t ValidateItemForRegistry(const PackItem& item);

// The registry value name of an item: empty (the key's default value) for an
// item named "<UNNAMED_VALUE>" byte for byte, else the item's name.
const char* RegistryValueName(const PackItem& item);
// The item name of a registry value: "<UNNAMED_VALUE>" for the default value.
std::string ItemNameOfValue(std::string_view valueName);

// The registry form of an item that is not a pack item: its type and data
// (`data` is replaced). `mode` is that of the pack holding the item; the key
// is the cipher key of binx values. 0, or kEncodingInvalidData for a pack
// item, an invalid type, or binx values under a mode other than 0 and 1.
int32_t EncodeRegistryValue(const PackItem& item, int32_t mode, const uint8_t* key, int32_t keyLength,
                            uint32_t& type, std::vector<uint8_t>& data);

// A registry value read back as an item named `itemName`:
//   REG_SZ, REG_EXPAND_SZ  str, the text as stored (up to its NUL; no data: empty)
//   REG_DWORD              int, the first 4 bytes little-endian (missing bytes 0)
//   REG_MULTI_SZ           str, one value per text from the first byte on; the
//                          empty text that ends the list is not a value; no
//                          texts at all give one empty text
//   REG_BINARY with a blob header whose values end exactly at the end of the
//                          data: the header's type and values (binx deciphered
//                          with the header's mode, which must be 0 or 1)
//   REG_BINARY with the magic but another type: kEncodingInvalidData
//   REG_BINARY otherwise   bin, the raw data
//   other types            bin, "type=" + the type (4 bytes little-endian) + "value=" + the data
// `binxMode` receives the mode of a binx blob (0 for everything else), which
// the caller gives to the pack holding the item.
int32_t DecodeRegistryValue(const char* itemName, uint32_t type, const uint8_t* data, size_t size,
                            const uint8_t* key, int32_t keyLength, std::unique_ptr<PackItem>& item,
                            int32_t& binxMode);

}  // namespace ca
