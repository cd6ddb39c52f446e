// Internal access to the representation of Pack and PackItem for the codec
// and the text rendering. Not part of the public interface.
#pragma once

#include <cstring>

#include "options/pack.h"

namespace ca {

struct PackCodec {
    using Slot = PackItem::Slot;

    // A new item of `type` with `count` values in their empty state.
    static std::unique_ptr<PackItem> NewItem(const char* name, size_t length, int32_t type, int32_t count) {
        std::unique_ptr<PackItem> item(new PackItem(PackItem::NameTag{}, name, length, type));
        item->AllocateSlots(count);
        return item;
    }
    static Slot* Slots(const PackItem& item) { return item.slots_; }
    static void SetMode(Pack& pack, int32_t mode) { pack.mode_ = mode; }
    static void SetOwner(Pack& pack, PackItem* owner) { pack.owner_ = owner; }
};

inline uint32_t LoadBig32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBig32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline bool IsValidItemType(int32_t type) {
    return type == kPackItemPack || type == kPackItemInt || type == kPackItemStr || type == kPackItemBin ||
           type == kPackItemBinx;
}

}  // namespace ca
