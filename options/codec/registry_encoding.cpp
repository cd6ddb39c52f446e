#include "options/codec/registry_encoding.h"

#include <cstring>

#include "options/codec/byte_order.h"

namespace ca {

namespace {

void AppendBig32(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t bytes[4];
    StoreBig32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

void AppendBlobHeader(std::vector<uint8_t>& out, int32_t itemType, int32_t mode, int32_t count) {
    AppendBig32(out, kBlobMagic);
    out.push_back(static_cast<uint8_t>(itemType));
    out.push_back(static_cast<uint8_t>(mode));
    AppendBig32(out, static_cast<uint32_t>(count));
}

void AppendText(std::vector<uint8_t>& out, const char* text) {
    if (text) out.insert(out.end(), text, text + std::strlen(text));
    out.push_back(0);
}

int32_t AppendBlocks(const PackItem& item, int32_t mode, const uint8_t* key, int32_t keyLength,
                     std::vector<uint8_t>& out) {
    const bool enciphered = item.Type() == kPackItemBinx;
    // A binx item without values has nothing enciphered. Under a mode no
    // reader knows it is stored as mode 0, so that it reads back as the
    // empty binx item it is rather than as a raw block of its bytes.
    if (enciphered && item.Count() == 0 && mode != 0 && mode != 1) mode = 0;
    AppendBlobHeader(out, item.Type(), mode, item.Count());
    for (int32_t i = 0; i < item.Count(); ++i) {
        const PackBytes value = item.Bytes(i);
        if (!enciphered || mode == 0) {
            // The length as the item holds it; 0 or less has no bytes.
            AppendBig32(out, static_cast<uint32_t>(value.length));
            if (value.length > 0) out.insert(out.end(), value.data, value.data + value.length);
            continue;
        }
        const int64_t stored = BinxStoredSize(value.length, mode);
        if (stored < 0) return kEncodingInvalidData;
        AppendBig32(out, static_cast<uint32_t>(stored));
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(stored));
        if (BinxEncode(value.data, value.length, mode, key, keyLength, out.data() + at,
                       static_cast<size_t>(stored)) != stored)
            return kEncodingInvalidData;
    }
    return 0;
}

// Values of a blob whose header is known to be sound; false when they do
// not end exactly at the end of the data (or a binx value cannot be
// deciphered), so that the data counts as raw bytes.
bool DecodeBlobValues(const char* itemName, int32_t itemType, int32_t mode, int32_t count, const uint8_t* data,
                      size_t size, const uint8_t* key, int32_t keyLength, std::unique_ptr<PackItem>& item) {
    const uint8_t* p = data + kBlobHeaderSize;
    const size_t left = size - kBlobHeaderSize;
    // Every value takes at least 4 bytes.
    if (count < 0 || left / 4 < static_cast<uint64_t>(count)) return false;
    if (itemType == kPackItemInt) {
        if (left != uint64_t{4} * static_cast<uint64_t>(count)) return false;
        std::vector<int32_t> values(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) values[i] = static_cast<int32_t>(LoadBig32(p + 4 * i));
        item = std::make_unique<PackItem>(itemName, values.data(), count);
        return true;
    }
    const bool enciphered = itemType == kPackItemBinx;
    if (enciphered && mode != 0 && mode != 1) return false;
    std::vector<PackBytes> blocks(static_cast<size_t>(count));
    std::vector<std::unique_ptr<uint8_t[]>> deciphered;
    size_t at = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (left - at < 4) return false;
        const int32_t length = static_cast<int32_t>(LoadBig32(p + at));
        at += 4;
        const size_t stored = length > 0 ? static_cast<size_t>(length) : 0;
        if (left - at < stored) return false;
        blocks[i] = PackBytes{p + at, length};
        if (enciphered && mode == 1 && length > 0) {
            std::unique_ptr<uint8_t[]> clear;
            int32_t clearLength = 0;
            if (BinxDecode(p + at, length, mode, key, keyLength, clearLength, clear) < 0) return false;
            blocks[i] = PackBytes{clear.get(), clearLength};
            deciphered.push_back(std::move(clear));
        }
        at += stored;
    }
    if (at != left) return false;
    item = std::make_unique<PackItem>(itemName, blocks.data(), count, enciphered);
    return true;
}

std::unique_ptr<PackItem> RawBytes(const char* itemName, const uint8_t* data, size_t size) {
    return std::make_unique<PackItem>(itemName, data, static_cast<int32_t>(size), false);
}

}  // namespace

int32_t ValidateItemForRegistry(const PackItem& item) {
    if (item.NameLength() == 0) return kEncodingInvalidData;
    if (item.Type() != kPackItemPack) return 0;
    if (item.Count() > 1) return kEncodingInvalidData;
    return item.Count() == 1 ? ValidateForRegistry(*item.NestedPack(0)) : 0;
}

int32_t ValidateForRegistry(const Pack& pack) {
    for (const PackItem* item = pack.First(); item; item = item->Next()) {
        if (int32_t rc = ValidateItemForRegistry(*item)) return rc;
    }
    return 0;
}

const char* RegistryValueName(const PackItem& item) {
    return std::strcmp(item.Name(), kUnnamedValue) == 0 ? "" : item.Name();
}

std::string ItemNameOfValue(std::string_view valueName) {
    return valueName.empty() ? std::string(kUnnamedValue) : std::string(valueName);
}

int32_t EncodeRegistryValue(const PackItem& item, int32_t mode, const uint8_t* key, int32_t keyLength,
                            uint32_t& type, std::vector<uint8_t>& data) {
    data.clear();
    switch (item.Type()) {
        case kPackItemInt:
            if (item.Count() == 1) {
                type = kRegDword;
                data.resize(4);
                StoreLittle32(data.data(), static_cast<uint32_t>(item.IntValue(0)));
                return 0;
            }
            type = kRegBinary;
            data.reserve(kBlobHeaderSize + 4 * static_cast<size_t>(item.Count()));
            AppendBlobHeader(data, kPackItemInt, 0, item.Count());
            for (int32_t i = 0; i < item.Count(); ++i) AppendBig32(data, static_cast<uint32_t>(item.IntValue(i)));
            return 0;
        case kPackItemStr:
            if (item.Count() <= 1) {
                type = kRegSz;
                if (item.Count() == 1) AppendText(data, item.Text(0));
                return 0;
            }
            type = kRegMultiSz;
            for (int32_t i = 0; i < item.Count(); ++i) AppendText(data, item.Text(i));
            data.push_back(0);
            return 0;
        case kPackItemBin:
        case kPackItemBinx:
            type = kRegBinary;
            return AppendBlocks(item, mode, key, keyLength, data);
        default:
            return kEncodingInvalidData;
    }
}

int32_t DecodeRegistryValue(const char* itemName, uint32_t type, const uint8_t* data, size_t size,
                            const uint8_t* key, int32_t keyLength, std::unique_ptr<PackItem>& item,
                            int32_t& binxMode) {
    binxMode = 0;
    if (size == 0) data = nullptr;
    switch (type) {
        case kRegSz:
        case kRegExpandSz: {
            const void* nul = size ? std::memchr(data, 0, size) : nullptr;
            const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
            const std::string text(reinterpret_cast<const char*>(data), length);
            item = std::make_unique<PackItem>(itemName, text.c_str());
            return 0;
        }
        case kRegDword: {
            uint8_t bytes[4] = {};
            if (size) std::memcpy(bytes, data, size < 4 ? size : 4);
            item = std::make_unique<PackItem>(itemName, static_cast<int32_t>(LoadLittle32(bytes)));
            return 0;
        }
        case kRegMultiSz: {
            std::vector<std::string> texts;
            for (size_t at = 0; at < size;) {
                const void* nul = std::memchr(data + at, 0, size - at);
                const size_t end = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
                texts.emplace_back(reinterpret_cast<const char*>(data) + at, end - at);
                at = end + 1;
            }
            // The list ends with an empty text (the last NUL of the data).
            if (!texts.empty() && texts.back().empty()) texts.pop_back();
            if (texts.empty()) texts.emplace_back();
            std::vector<const char*> pointers;
            pointers.reserve(texts.size());
            for (const std::string& text : texts) pointers.push_back(text.c_str());
            item = std::make_unique<PackItem>(itemName, pointers.data(), static_cast<int32_t>(pointers.size()));
            return 0;
        }
        case kRegBinary: {
            if (size < 4 || LoadBig32(data) != kBlobMagic) {
                item = RawBytes(itemName, data, size);
                return 0;
            }
            if (size < 5) {
                item = RawBytes(itemName, data, size);
                return 0;
            }
            const int32_t itemType = data[4];
            if (itemType != kPackItemInt && itemType != kPackItemBin && itemType != kPackItemBinx)
                return kEncodingInvalidData;
            if (size >= kBlobHeaderSize) {
                const int32_t mode = data[5];
                const int32_t count = static_cast<int32_t>(LoadBig32(data + 6));
                if (DecodeBlobValues(itemName, itemType, mode, count, data, size, key, keyLength, item)) {
                    if (itemType == kPackItemBinx) binxMode = mode;
                    return 0;
                }
            }
            item = RawBytes(itemName, data, size);
            return 0;
        }
        default: {
            static const char kType[] = "type=";
            static const char kValue[] = "value=";
            std::vector<uint8_t> tagged;
            tagged.reserve(15 + size);
            tagged.insert(tagged.end(), kType, kType + 5);
            uint8_t typeBytes[4];
            StoreLittle32(typeBytes, type);
            tagged.insert(tagged.end(), typeBytes, typeBytes + 4);
            tagged.insert(tagged.end(), kValue, kValue + 6);
            if (size) tagged.insert(tagged.end(), data, data + size);
            item = RawBytes(itemName, tagged.data(), tagged.size());
            return 0;
        }
    }
}

}  // namespace ca
