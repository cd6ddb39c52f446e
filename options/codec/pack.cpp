// Pack tree operations: items, lookup by name, paths, copies, comparison,
// sorting.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "options/codec/pack.h"
#include "options/codec/pack_internal.h"

namespace ca {
namespace {

constexpr int32_t kIndexThreshold = 8;  // packs up to this size are searched linearly

inline unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Names are hashed with SipHash-1-3 under a key drawn once per process, so
// that no file can choose names that collide in the index: adding items
// costs the same whatever their names.
struct HashKey {
    uint64_t k0;
    uint64_t k1;
};

HashKey DrawHashKey() {
    HashKey key{0x0706050403020100ull, 0x0F0E0D0C0B0A0908ull};
    try {
        std::random_device device;
        key.k0 = (uint64_t{device()} << 32) ^ device();
        key.k1 = (uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // No entropy source: the clock and where this process put its stack.
        int local = 0;
        key.k0 ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        key.k1 ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local)) * 0x9E3779B97F4A7C15ull;
    }
    return key;
}

const HashKey& ProcessHashKey() {
    static const HashKey key = DrawHashKey();
    return key;
}

inline uint64_t Rotl(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void Round() {
        v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
        v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
    }
    void Block(uint64_t m) {
        v3 ^= m;
        Round();
        v0 ^= m;
    }
};

// The name's hash; with `fold`, of the name with ASCII letters folded.
uint32_t NameHash(const char* name, size_t length, bool fold) {
    const HashKey& key = ProcessHashKey();
    SipState s{0x736f6d6570736575ull ^ key.k0, 0x646f72616e646f6dull ^ key.k1, 0x6c7967656e657261ull ^ key.k0,
               0x7465646279746573ull ^ key.k1};
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t m = 0;
        for (int j = 0; j < 8; ++j) m |= uint64_t{fold ? FoldAscii(bytes[i + j]) : bytes[i + j]} << (8 * j);
        s.Block(m);
    }
    uint64_t last = static_cast<uint64_t>(length) << 56;
    for (int j = 0; i + j < length; ++j) last |= uint64_t{fold ? FoldAscii(bytes[i + j]) : bytes[i + j]} << (8 * j);
    s.Block(last);
    s.v2 ^= 0xFF;
    s.Round();
    s.Round();
    s.Round();
    const uint64_t h = s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

bool HasUpperAscii(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (name[i] >= 'A' && name[i] <= 'Z') return true;
    }
    return false;
}

bool NamesMatch(const char* a, const char* b, size_t length, bool caseSensitive) {
    if (caseSensitive) return std::memcmp(a, b, length) == 0;
    for (size_t i = 0; i < length; ++i) {
        if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// The stored form of a requested name: empty or absent is "<UNNAMED_VALUE>".
inline void NormalizeName(const char*& name, size_t& length) {
    if (name == nullptr || length == 0) {
        name = kUnnamedValue;
        length = sizeof(kUnnamedValue) - 1;
    }
}

inline size_t SafeLength(const char* text) { return text ? std::strlen(text) : 0; }

char* DuplicateText(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    char* copy = new char[length + 1];
    std::memcpy(copy, text, length + 1);
    return copy;
}

uint8_t* DuplicateBytes(const uint8_t* data, int32_t length) {
    if (length <= 0) return nullptr;
    uint8_t* copy = new uint8_t[static_cast<size_t>(length)];
    if (data)
        std::memcpy(copy, data, static_cast<size_t>(length));
    else
        std::memset(copy, 0, static_cast<size_t>(length));
    return copy;
}

}  // namespace

// ---------------------------------------------------------------- PackItem

PackItem::PackItem() { SetName(nullptr, 0); }

PackItem::PackItem(NameTag, const char* name, size_t length, int32_t type) : type_(type) { SetName(name, length); }

PackItem::PackItem(const char* name, const Pack& pack) : type_(kPackItemPack) {
    SetName(name, SafeLength(name));
    AllocateSlots(1);
    slots_[0].pack = new Pack(pack);
    slots_[0].pack->owner_ = this;
}

PackItem::PackItem(const char* name, std::unique_ptr<Pack> pack) : type_(kPackItemPack) {
    SetName(name, SafeLength(name));
    AllocateSlots(1);
    slots_[0].pack = pack ? pack.release() : new Pack();
    slots_[0].pack->owner_ = this;
}

PackItem::PackItem(const char* name, const Pack* const* packs, int32_t n) : type_(kPackItemPack) {
    SetName(name, SafeLength(name));
    AllocateSlots(packs ? n : 0);
    for (int32_t i = 0; i < count_; ++i) {
        slots_[i].pack = packs[i] ? new Pack(*packs[i]) : new Pack();
        slots_[i].pack->owner_ = this;
    }
}

PackItem::PackItem(const char* name, int32_t value) : type_(kPackItemInt) {
    SetName(name, SafeLength(name));
    AllocateSlots(1);
    slots_[0].number = value;
}

PackItem::PackItem(const char* name, const int32_t* values, int32_t n) : type_(kPackItemInt) {
    SetName(name, SafeLength(name));
    AllocateSlots(values ? n : 0);
    for (int32_t i = 0; i < count_; ++i) slots_[i].number = values[i];
}

PackItem::PackItem(const char* name, const char* text) : type_(kPackItemStr) {
    SetName(name, SafeLength(name));
    AllocateSlots(1);
    slots_[0].text = DuplicateText(text);
}

PackItem::PackItem(const char* name, const char* const* texts, int32_t n) : type_(kPackItemStr) {
    SetName(name, SafeLength(name));
    AllocateSlots(texts ? n : 0);
    for (int32_t i = 0; i < count_; ++i) slots_[i].text = DuplicateText(texts[i]);
}

PackItem::PackItem(const char* name, const void* data, int32_t length, bool enciphered)
    : type_(enciphered ? kPackItemBinx : kPackItemBin) {
    SetName(name, SafeLength(name));
    AllocateSlots(1);
    slots_[0].block.bytes = DuplicateBytes(static_cast<const uint8_t*>(data), length);
    slots_[0].block.length = length;
}

PackItem::PackItem(const char* name, const PackBytes* blocks, int32_t n, bool enciphered)
    : type_(enciphered ? kPackItemBinx : kPackItemBin) {
    SetName(name, SafeLength(name));
    AllocateSlots(blocks ? n : 0);
    for (int32_t i = 0; i < count_; ++i) {
        slots_[i].block.bytes = DuplicateBytes(blocks[i].data, blocks[i].length);
        slots_[i].block.length = blocks[i].length;
    }
}

PackItem::PackItem(const PackItem& source) : PackItem(source, source.Name()) {}

PackItem::PackItem(const PackItem& source, const char* name)
    : type_(source.type_), caseSensitiveNames_(source.caseSensitiveNames_) {
    SetName(name, SafeLength(name));
    AllocateSlots(source.count_);
    for (int32_t i = 0; i < count_; ++i) {
        const Slot& from = source.slots_[i];
        Slot& to = slots_[i];
        switch (type_) {
            case kPackItemPack:
                to.pack = new Pack(*from.pack);
                to.pack->owner_ = this;
                break;
            case kPackItemInt:
                to.number = from.number;
                break;
            case kPackItemStr:
                to.text = DuplicateText(from.text);
                break;
            case kPackItemBin:
            case kPackItemBinx:
                to.block.bytes = DuplicateBytes(from.block.bytes, from.block.length);
                to.block.length = from.block.length;
                break;
            default:
                break;
        }
    }
}

PackItem::~PackItem() { DestroyValues(); }

void PackItem::SetName(const char* name, size_t length) {
    NormalizeName(name, length);
    name_.assign(name, length);
    hash_ = NameHash(name, length, true);
    exactHash_ = HasUpperAscii(name, length) ? NameHash(name, length, false) : hash_;
}

void PackItem::AllocateSlots(int32_t count) {
    if (count <= 0) {
        count_ = 0;
        slots_ = nullptr;
        return;
    }
    slots_ = count == 1 ? &single_ : new Slot[static_cast<size_t>(count)];
    count_ = count;
    for (int32_t i = 0; i < count; ++i) {
        if (type_ == kPackItemBin || type_ == kPackItemBinx)
            slots_[i].block = Block{0, nullptr};
        else if (type_ == kPackItemInt)
            slots_[i].number = 0;
        else
            slots_[i].pack = nullptr;  // also the null text
    }
}

void PackItem::DestroyValues() {
    for (int32_t i = 0; i < count_; ++i) {
        switch (type_) {
            case kPackItemPack:
                delete slots_[i].pack;
                break;
            case kPackItemStr:
                delete[] slots_[i].text;
                break;
            case kPackItemBin:
            case kPackItemBinx:
                delete[] slots_[i].block.bytes;
                break;
            default:
                break;
        }
    }
    if (slots_ != &single_) delete[] slots_;
    slots_ = nullptr;
    count_ = 0;
}

Pack* PackItem::NestedPack(int32_t index) const {
    return (type_ == kPackItemPack && index >= 0 && index < count_) ? slots_[index].pack : nullptr;
}

int32_t PackItem::IntValue(int32_t index) const {
    return (type_ == kPackItemInt && index >= 0 && index < count_) ? slots_[index].number : 0;
}

const char* PackItem::Text(int32_t index) const {
    return (type_ == kPackItemStr && index >= 0 && index < count_) ? slots_[index].text : nullptr;
}

PackBytes PackItem::Bytes(int32_t index) const {
    if ((type_ != kPackItemBin && type_ != kPackItemBinx) || index < 0 || index >= count_) return {};
    return PackBytes{slots_[index].block.bytes, slots_[index].block.length};
}

// -------------------------------------------------------------------- Pack

Pack::Pack() = default;

Pack::Pack(const Pack& source) : mode_(source.mode_), caseSensitiveNames_(source.caseSensitiveNames_) {
    // Copied item by item without the replace-by-name step, so that a copy
    // keeps every item even where the source's names collide.
    for (const PackItem* item = source.head_; item; item = item->next_) Append(new PackItem(*item));
}

void Pack::Append(PackItem* item) {
    item->parent_ = this;
    item->prev_ = tail_;
    item->next_ = nullptr;
    if (tail_)
        tail_->next_ = item;
    else
        head_ = item;
    tail_ = item;
    item->order_ = nextOrder_++;
    ++count_;
    IndexInsert(item);
}

Pack::~Pack() { Clear(); }

void Pack::Clear() {
    PackItem* item = head_;
    head_ = tail_ = cursor_ = nullptr;
    count_ = 0;
    index_.clear();
    index_.shrink_to_fit();
    while (item) {
        PackItem* next = item->next_;
        delete item;
        item = next;
    }
}

bool Pack::NamesCaseSensitive() const {
    const Pack* pack = this;
    for (;;) {
        const PackItem* owner = pack->owner_;
        if (owner == nullptr) return pack->caseSensitiveNames_ == 1;
        if (owner->parent_ == nullptr) return owner->caseSensitiveNames_ == 1;
        pack = owner->parent_;
    }
}

PackItem* Pack::Lookup(const char* name, size_t length, const PackItem* hashed) const {
    if (index_.empty()) {
        const uint32_t hash = hashed ? hashed->hash_ : NameHash(name, length, true);
        int caseSensitive = -1;  // looked up at the first candidate only
        for (PackItem* item = head_; item; item = item->next_) {
            if (item->hash_ != hash || item->name_.size() != length) continue;
            if (caseSensitive < 0) caseSensitive = NamesCaseSensitive() ? 1 : 0;
            if (NamesMatch(item->name_.data(), name, length, caseSensitive == 1)) return item;
        }
        return nullptr;
    }
    // The index is keyed by the exact name where names compare byte for
    // byte, by the folded name otherwise, so that names which differ only in
    // letter case never pile up in one place; it follows the tree's setting.
    const bool caseSensitive = NamesCaseSensitive();
    if (caseSensitive != indexExact_) RebuildIndex(caseSensitive);
    const uint32_t hash = hashed ? KeyOf(hashed, caseSensitive)
                                 : (caseSensitive && HasUpperAscii(name, length) ? NameHash(name, length, false)
                                                                                  : NameHash(name, length, true));
    // Several items can match (names that differ in case only, once the tree
    // compares without case): the earliest in the list wins.
    const size_t mask = index_.size() - 1;
    PackItem* best = nullptr;
    for (size_t i = hash & mask; index_[i]; i = (i + 1) & mask) {
        PackItem* item = index_[i];
        if (KeyOf(item, caseSensitive) != hash || item->name_.size() != length) continue;
        if (!NamesMatch(item->name_.data(), name, length, caseSensitive)) continue;
        if (best == nullptr || item->order_ < best->order_) best = item;
    }
    return best;
}

uint32_t Pack::KeyOf(const PackItem* item, bool exact) { return exact ? item->exactHash_ : item->hash_; }

void Pack::IndexInsert(PackItem* item) {
    if (index_.empty()) {
        if (count_ <= kIndexThreshold) return;
        RebuildIndex(NamesCaseSensitive());
        return;
    }
    if (static_cast<size_t>(count_) * 2 > index_.size()) {
        RebuildIndex(indexExact_);
        return;
    }
    const size_t mask = index_.size() - 1;
    size_t i = KeyOf(item, indexExact_) & mask;
    while (index_[i]) i = (i + 1) & mask;
    index_[i] = item;
}

void Pack::RebuildIndex(bool exact) const {
    size_t size = 32;
    while (size < static_cast<size_t>(count_) * 2 + 2) size *= 2;
    index_.assign(size, nullptr);
    indexExact_ = exact;
    const size_t mask = size - 1;
    for (PackItem* item = head_; item; item = item->next_) {
        size_t i = KeyOf(item, exact) & mask;
        while (index_[i]) i = (i + 1) & mask;
        index_[i] = item;
    }
}

void Pack::IndexErase(PackItem* item) {
    if (index_.empty()) return;
    const size_t mask = index_.size() - 1;
    size_t i = KeyOf(item, indexExact_) & mask;
    while (index_[i] != item) {
        if (index_[i] == nullptr) return;  // not indexed
        i = (i + 1) & mask;
    }
    // Backward-shift deletion keeps every probe sequence unbroken.
    size_t j = i;
    for (;;) {
        j = (j + 1) & mask;
        if (index_[j] == nullptr) break;
        const size_t home = KeyOf(index_[j], indexExact_) & mask;
        const bool between = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
        if (!between) {
            index_[i] = index_[j];
            i = j;
        }
    }
    index_[i] = nullptr;
}

void Pack::Unlink(PackItem* item) {
    if (cursor_ == item) cursor_ = item->next_;
    if (item->prev_)
        item->prev_->next_ = item->next_;
    else
        head_ = item->next_;
    if (item->next_)
        item->next_->prev_ = item->prev_;
    else
        tail_ = item->prev_;
    IndexErase(item);
    --count_;
    item->parent_ = nullptr;
    item->prev_ = item->next_ = nullptr;
}

PackItem* Pack::Add(std::unique_ptr<PackItem> item) {
    if (!item) return nullptr;
    if (PackItem* existing = Lookup(item->name_.data(), item->name_.size(), item.get())) {
        Unlink(existing);
        delete existing;
    }
    PackItem* added = item.release();
    Append(added);
    cursor_ = added;
    return added;
}

PackItem* Pack::Find(const char* name) {
    size_t length = SafeLength(name);
    NormalizeName(name, length);
    PackItem* found = Lookup(name, length);
    if (found) cursor_ = found;
    return found;
}

std::unique_ptr<PackItem> Pack::Remove(const char* name) {
    PackItem* found = Find(name);
    if (!found) return nullptr;
    Unlink(found);  // the cursor moves on to the following item
    return std::unique_ptr<PackItem>(found);
}

PackItem* Pack::FindPath(const char* path, bool partial) {
    Pack* pack = this;
    PackItem* deepest = nullptr;
    const char* segment = path ? path : "";
    for (;;) {
        const char* end = std::strchr(segment, '\\');
        size_t length = end ? static_cast<size_t>(end - segment) : std::strlen(segment);
        const char* name = segment;
        NormalizeName(name, length);
        PackItem* found = pack->Lookup(name, length);
        if (found == nullptr) return partial ? deepest : nullptr;
        pack->cursor_ = found;
        if (end == nullptr) return found;
        deepest = found;
        if (found->type_ != kPackItemPack || found->count_ < 1) return partial ? deepest : nullptr;
        pack = found->slots_[0].pack;
        segment = end + 1;
    }
}

void Pack::SetMode(int32_t mode, bool recursive) {
    mode_ = mode;
    if (!recursive) return;
    for (PackItem* item = head_; item; item = item->next_) {
        if (item->type_ != kPackItemPack) continue;
        for (int32_t i = 0; i < item->count_; ++i) item->slots_[i].pack->SetMode(mode, true);
    }
}

void Pack::Sort() {
    std::vector<PackItem*> items;
    items.reserve(static_cast<size_t>(count_));
    for (PackItem* item = head_; item; item = item->next_) items.push_back(item);
    std::stable_sort(items.begin(), items.end(), [](const PackItem* a, const PackItem* b) {
        const bool aPack = a->type_ == kPackItemPack;
        const bool bPack = b->type_ == kPackItemPack;
        if (aPack != bPack) return aPack;
        return a->name_ < b->name_;  // char_traits<char> compares as unsigned bytes
    });
    PackItem* previous = nullptr;
    nextOrder_ = 0;
    for (PackItem* item : items) {
        item->prev_ = previous;
        item->next_ = nullptr;
        if (previous)
            previous->next_ = item;
        else
            head_ = item;
        item->order_ = nextOrder_++;
        previous = item;
        if (item->type_ == kPackItemPack) {
            for (int32_t i = 0; i < item->count_; ++i) item->slots_[i].pack->Sort();
        }
    }
    tail_ = previous;
}

// --------------------------------------------------------------- free ops

int32_t ItemPath(const PackItem* item, char* buffer, size_t capacity, bool includeSelf) {
    if (item == nullptr) return kPackPathNoItem;
    std::vector<const PackItem*> chain;
    if (includeSelf) chain.push_back(item);
    for (const Pack* pack = item->Parent(); pack && pack->Owner(); pack = pack->Owner()->Parent()) {
        chain.push_back(pack->Owner());
    }
    size_t length = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        length += chain[i]->NameLength() + (i ? 1 : 0);
        if (length > 0x7FFFFFFEu) return static_cast<int32_t>(kPackTruncated);
    }
    if (buffer && length < capacity) {
        char* out = buffer;
        for (size_t i = chain.size(); i-- > 0;) {
            std::memcpy(out, chain[i]->Name(), chain[i]->NameLength());
            out += chain[i]->NameLength();
            if (i) *out++ = '\\';
        }
        *out = '\0';
    }
    return static_cast<int32_t>(length);
}

bool ItemsEqual(const PackItem& a, const PackItem& b, int32_t caseMode) {
    if (a.Type() != b.Type() || a.Count() != b.Count() || a.NameLength() != b.NameLength()) return false;
    if (!NamesMatch(a.Name(), b.Name(), a.NameLength(), caseMode == 1)) return false;
    for (int32_t i = 0; i < a.Count(); ++i) {
        switch (a.Type()) {
            case kPackItemPack:
                if (!PacksEqual(*a.NestedPack(i), *b.NestedPack(i), caseMode)) return false;
                break;
            case kPackItemInt:
                if (a.IntValue(i) != b.IntValue(i)) return false;
                break;
            case kPackItemStr: {
                const char* x = a.Text(i);
                const char* y = b.Text(i);
                if (std::strcmp(x ? x : "", y ? y : "") != 0) return false;
                break;
            }
            case kPackItemBin:
            case kPackItemBinx: {
                const PackBytes x = a.Bytes(i);
                const PackBytes y = b.Bytes(i);
                if (x.length != y.length) return false;
                if (x.length > 0 && std::memcmp(x.data, y.data, static_cast<size_t>(x.length)) != 0) return false;
                break;
            }
            default:
                break;
        }
    }
    return true;
}

bool PacksEqual(const Pack& a, const Pack& b, int32_t caseMode) {
    if (a.Count() != b.Count()) return false;
    for (const PackItem *x = a.First(), *y = b.First(); x && y; x = x->Next(), y = y->Next()) {
        if (!ItemsEqual(*x, *y, caseMode)) return false;
    }
    return true;
}

}  // namespace ca
