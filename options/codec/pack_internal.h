// Internal access to the representation of Pack and PackItem for the codec
// and the text rendering. Not part of the public interface.
#pragma once

#include "options/codec/byte_order.h"
#include <cstring>

#include "options/codec/pack.h"

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

inline bool IsValidItemType(int32_t type) {
    return type == kPackItemPack || type == kPackItemInt || type == kPackItemStr || type == kPackItemBin ||
           type == kPackItemBinx;
}

}  // namespace ca
