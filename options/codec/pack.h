// Pack: the tree of named, typed values in which the application keeps its
// settings, and its byte form. No Windows API here.
//
// A Pack is an ordered list of PackItems with unique names; an item is an
// array of `count` values of one type: nested packs, 32-bit integers, texts or
// byte blocks (plain "bin" or enciphered "binx"). The tree is owned top-down:
// a pack owns its items, an item its values, a pack value its nested pack.
//
// Name lookups use the comparison chosen by the root of the tree (the pack
// without owner, or the item without parent): CaseSensitiveNames() == 1
// compares byte for byte, any other value ignores ASCII letter case.
//
// Byte form (all integers 32-bit big-endian):
//   pack  = count N, mode, N items
//   item  = type, value count V, name with its NUL, V values
//   value = pack | int (4 bytes) | str (text and NUL) | bin (length n, n bytes)
//           | binx (length m, m stored bytes; see BinxEncode)
//
// Readers and writers never throw for bad input; they return a byte count or
// kPackTruncated (-1: truncated input, missing NUL, bad length, too deep,
// insufficient capacity, short stream transfer) or kPackInvalid (-2: invalid
// item type, or a binx value under a mode other than 0 and 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ca {

class Pack;
class PackItem;

enum PackItemType : int32_t {
    kPackItemEmpty = -1,  // freshly constructed item without values
    kPackItemPack = 0,
    kPackItemInt = 1,
    kPackItemStr = 2,
    kPackItemBin = 3,
    kPackItemBinx = 5,
};

constexpr int64_t kPackTruncated = -1;
constexpr int64_t kPackInvalid = -2;
constexpr int32_t kPackPathNoItem = -3;

// Deepest nesting accepted by the readers: the top-level pack is level 0, a
// pack inside one of its items level 1, and so on (the registry's own limit
// of key levels).
constexpr int kMaxPackDepth = 512;

// Name stored for an item created with an empty or absent name.
inline constexpr const char kUnnamedValue[] = "<UNNAMED_VALUE>";

// A byte block value: length (0 or less: no bytes) and its bytes.
struct PackBytes {
    const uint8_t* data = nullptr;
    int32_t length = 0;
};

class PackItem {
public:
    // An empty item: type kPackItemEmpty, no values, name "<UNNAMED_VALUE>".
    PackItem();
    // One nested pack: a deep copy of `pack` (owner set to this item).
    PackItem(const char* name, const Pack& pack);
    // One nested pack, taken over rather than copied (it must have no owner).
    PackItem(const char* name, std::unique_ptr<Pack> pack);
    // `n` nested packs, deep copies; a null entry gives an empty pack.
    PackItem(const char* name, const Pack* const* packs, int32_t n);
    PackItem(const char* name, int32_t value);
    PackItem(const char* name, const int32_t* values, int32_t n);
    // Texts are copied; an absent (null) text stays absent.
    PackItem(const char* name, const char* text);
    PackItem(const char* name, const char* const* texts, int32_t n);
    // A byte block: type binx when `enciphered`, else bin. A length of 0 or
    // less gives a block of that length without bytes; null data with a
    // positive length gives zero bytes.
    PackItem(const char* name, const void* data, int32_t length, bool enciphered);
    PackItem(const char* name, const PackBytes* blocks, int32_t n, bool enciphered);
    // Deep copies (parent none, the source's CaseSensitiveNames).
    PackItem(const PackItem& source);
    PackItem(const PackItem& source, const char* name);
    PackItem& operator=(const PackItem&) = delete;
    ~PackItem();

    int32_t Type() const { return type_; }
    int32_t Count() const { return count_; }
    const char* Name() const { return name_.c_str(); }
    size_t NameLength() const { return name_.size(); }
    Pack* Parent() const { return parent_; }
    PackItem* Next() const { return next_; }
    PackItem* Prev() const { return prev_; }
    int32_t CaseSensitiveNames() const { return caseSensitiveNames_; }
    void SetCaseSensitiveNames(int32_t value) { caseSensitiveNames_ = value; }

    // Value accessors; an index out of range or a value of another type gives
    // null / 0 / an empty block.
    Pack* NestedPack(int32_t index) const;
    int32_t IntValue(int32_t index) const;
    const char* Text(int32_t index) const;
    PackBytes Bytes(int32_t index) const;

private:
    friend class Pack;
    friend struct PackCodec;
    struct Block {
        int32_t length;
        uint8_t* bytes;
    };
    union Slot {
        Pack* pack;
        int32_t number;
        char* text;
        Block block;
    };
    struct NameTag {};

    PackItem(NameTag, const char* name, size_t length, int32_t type);
    void SetName(const char* name, size_t length);
    void AllocateSlots(int32_t count);  // zeroed slots, count_ set
    void DestroyValues();

    int32_t type_ = kPackItemEmpty;
    int32_t count_ = 0;
    int32_t caseSensitiveNames_ = 1;
    uint32_t hash_ = 0;       // of the name with ASCII letters folded
    uint32_t exactHash_ = 0;  // of the name as it is
    std::string name_;
    Slot single_{};
    Slot* slots_ = nullptr;  // &single_ for one value, else owned array
    Pack* parent_ = nullptr;
    PackItem* prev_ = nullptr;
    PackItem* next_ = nullptr;
    uint64_t order_ = 0;  // rises along the parent's list
};

class Pack {
public:
    // An empty root pack: mode 0, CaseSensitiveNames 1.
    Pack();
    // Deep copy: the source's mode and CaseSensitiveNames, no owner.
    Pack(const Pack& source);
    Pack& operator=(const Pack&) = delete;
    ~Pack();

    // Removes and destroys every item.
    void Clear();

    // Appends `item` (which must not belong to a pack), first removing and
    // destroying an item of the same name. The cursor moves to the new item.
    PackItem* Add(std::unique_ptr<PackItem> item);
    // First item of that name (empty or null: "<UNNAMED_VALUE>"); the cursor
    // moves to it. Null when there is none (the cursor stays).
    PackItem* Find(const char* name);
    // Finds the item and unlinks it; the cursor moves to the following item.
    // The caller receives the item (drop it to destroy it); null when none.
    std::unique_ptr<PackItem> Remove(const char* name);
    // Path of names separated by "\"; every segment but the last must name a
    // pack item, whose first nested pack is searched next. With `partial`, the
    // deepest item found is returned when the rest of the path does not match.
    PackItem* FindPath(const char* path, bool partial);
    // Sets the mode, and with `recursive` that of every nested pack too.
    void SetMode(int32_t mode, bool recursive);
    // Pack items first, then the others, each group ascending by name (byte
    // for byte, stable); nested packs are sorted too.
    void Sort();

    int32_t Count() const { return count_; }
    int32_t Mode() const { return mode_; }
    PackItem* Owner() const { return owner_; }
    PackItem* First() const { return head_; }
    PackItem* Last() const { return tail_; }
    PackItem* Cursor() const { return cursor_; }
    int32_t CaseSensitiveNames() const { return caseSensitiveNames_; }
    void SetCaseSensitiveNames(int32_t value) { caseSensitiveNames_ = value; }

    // True when names compare byte for byte in this pack's tree.
    bool NamesCaseSensitive() const;

private:
    friend class PackItem;
    friend struct PackCodec;

    // The item of that name; `hashed`, when given, is an item of the same
    // name whose hashes are taken instead of hashing the name again.
    PackItem* Lookup(const char* name, size_t length, const PackItem* hashed = nullptr) const;
    static uint32_t KeyOf(const PackItem* item, bool exact);
    // Links an item in at the end of the list (no replace-by-name).
    void Append(PackItem* item);
    void Unlink(PackItem* item);
    void IndexInsert(PackItem* item);
    void IndexErase(PackItem* item);
    void RebuildIndex(bool exact) const;

    PackItem* head_ = nullptr;
    PackItem* tail_ = nullptr;
    PackItem* cursor_ = nullptr;
    PackItem* owner_ = nullptr;
    int32_t count_ = 0;
    int32_t mode_ = 0;
    int32_t caseSensitiveNames_ = 1;
    uint64_t nextOrder_ = 0;
    // Open-addressing index by name hash, kept once the pack grows past a
    // handful of items so that adding and finding stay cheap in large packs;
    // keyed by the exact names when the tree compares them byte for byte.
    mutable std::vector<PackItem*> index_;
    mutable bool indexExact_ = false;
};

// Names of the enclosing items of `item` (and of the item itself when
// `includeSelf`), outermost first, joined by "\". Returns the length; the
// text and its NUL are written only when the length is below `capacity` (a
// null buffer only measures). Null item: kPackPathNoItem.
int32_t ItemPath(const PackItem* item, char* buffer, size_t capacity, bool includeSelf);

// Same item count and, item by item, same type, count, name (exact when
// `caseMode` is 1, else ignoring ASCII case) and values. Absent and empty
// texts compare equal (the byte form does not tell them apart). Pack modes
// are not compared.
bool PacksEqual(const Pack& a, const Pack& b, int32_t caseMode);
bool ItemsEqual(const PackItem& a, const PackItem& b, int32_t caseMode);

// binx framing. Mode 0 stores the bytes as they are. Mode 1 stores the
// 4-byte big-endian length and the bytes, zero-padded to a multiple of 8 and
// enciphered with the key block formed from the first min(keyLength, 8) bytes
// of `key` (the rest zero; a null key is all zero). Other modes: kPackInvalid.
//
// Number of stored bytes for a value of `length` bytes (a length below 0 has
// no bytes: none under mode 0, a block holding length 0 under mode 1).
int64_t BinxStoredSize(int32_t length, int32_t mode);
// Writes the stored form into `out` (capacity checked); returns its size.
int64_t BinxEncode(const uint8_t* data, int32_t length, int32_t mode, const uint8_t* key, int32_t keyLength,
                   uint8_t* out, size_t capacity);
// Decodes `storedLength` stored bytes into `value`. A stored length of 0 or
// less gives that length and no bytes. Mode 1 needs a multiple of 8 (else
// kPackTruncated); the deciphered length prefix is used when it is positive
// and fits, otherwise the whole block after the prefix is the value.
// Returns 0 or a negative code; `value` receives the length and the bytes.
int64_t BinxDecode(const uint8_t* stored, int32_t storedLength, int32_t mode, const uint8_t* key,
                   int32_t keyLength, int32_t& valueLength, std::unique_ptr<uint8_t[]>& valueBytes);

// Serialized size of the pack (or item; binx values use `mode`).
int64_t PackSize(const Pack& pack, const uint8_t* key, int32_t keyLength);
int64_t ItemSize(const PackItem& item, int32_t mode, const uint8_t* key, int32_t keyLength);

// Writers: bytes written, or a negative code. With a null buffer the memory
// writer only counts.
int64_t WritePack(const Pack& pack, uint8_t* buffer, size_t capacity, const uint8_t* key, int32_t keyLength);
int64_t WritePack(const Pack& pack, std::FILE* stream, const uint8_t* key, int32_t keyLength);
int64_t WriteItem(const PackItem& item, int32_t mode, uint8_t* buffer, size_t capacity, const uint8_t* key,
                  int32_t keyLength);
int64_t WriteItem(const PackItem& item, int32_t mode, std::FILE* stream, const uint8_t* key, int32_t keyLength);

// Readers: bytes consumed, or a negative code. A size of 0 reads nothing and
// returns 0. The pack readers add to `pack` (normally empty, a root); items
// read before an error stay in it. The stream readers read sequentially; a
// size of 0 means the rest of the stream. Bytes after the pack are not read.
int64_t ReadPack(Pack& pack, const uint8_t* data, size_t size, const uint8_t* key, int32_t keyLength);
int64_t ReadPack(Pack& pack, std::FILE* stream, size_t size, const uint8_t* key, int32_t keyLength);
int64_t ReadItem(std::unique_ptr<PackItem>& item, int32_t mode, const uint8_t* data, size_t size,
                 const uint8_t* key, int32_t keyLength);
int64_t ReadItem(std::unique_ptr<PackItem>& item, int32_t mode, std::FILE* stream, size_t size,
                 const uint8_t* key, int32_t keyLength);

// What ReadPack of the same bytes returns (bytes consumed, or the same
// negative code), found without building the tree: nothing is allocated or
// deciphered, so a check of a file costs little more than reading it.
int64_t CheckPack(const uint8_t* data, size_t size);

// Diagnostic text of the pack (CR LF line ends). With a null buffer: the
// length of the text. With a buffer: the text and a NUL when the length is
// below `capacity` (else nothing is written and the result is
// kPackTruncated); a positive `sort` sorts the tree first.
int64_t RenderPackText(Pack& pack, char* buffer, size_t capacity, int32_t sort);
// Measures, then fills.
std::string RenderPackText(Pack& pack, int32_t sort);

}  // namespace ca
