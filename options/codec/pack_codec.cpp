// Byte form of packs and items: size, writers and readers for memory and
// stdio streams, and the binx framing around the block cipher.
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "options/codec/cipher.h"
#include "options/codec/pack.h"
#include "options/codec/pack_internal.h"

namespace ca {
namespace {

struct KeyBlock {
    uint8_t bytes[8] = {};
    KeyBlock(const uint8_t* key, int32_t keyLength) {
        if (key && keyLength > 0) std::memcpy(bytes, key, keyLength < 8 ? static_cast<size_t>(keyLength) : 8);
    }
};

// Value of a deciphered mode-1 block of `stored` bytes (a positive multiple
// of 8): moves the value to the front and returns its length.
int32_t UnframeDeciphered(uint8_t* block, int32_t stored) {
    const int32_t room = stored - 4;
    int32_t length = static_cast<int32_t>(LoadBig32(block));
    if (length <= 0 || length > room) length = room;
    std::memmove(block, block + 4, static_cast<size_t>(length));
    return length;
}

// ----------------------------------------------------------------- sinks

class MemorySink {
public:
    MemorySink(uint8_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    bool Put(const void* data, size_t size) {
        if (buffer_) {
            if (capacity_ - written_ < size) return false;
            if (size) std::memcpy(buffer_ + written_, data, size);
        }
        written_ += size;
        return true;
    }
    uint64_t Written() const { return written_; }

private:
    uint8_t* buffer_;
    size_t capacity_;
    uint64_t written_ = 0;
};

class StreamSink {
public:
    explicit StreamSink(std::FILE* stream) : stream_(stream) {}
    bool Put(const void* data, size_t size) {
        if (size && std::fwrite(data, 1, size, stream_) != size) return false;
        written_ += size;
        return true;
    }
    uint64_t Written() const { return written_; }

private:
    std::FILE* stream_;
    uint64_t written_ = 0;
};

template <class Sink>
class Writer {
public:
    Writer(Sink& sink, const uint8_t* key, int32_t keyLength) : sink_(sink), key_(key, keyLength) {}

    int WritePack(const Pack& pack) {
        if (!Put32(pack.Count()) || !Put32(pack.Mode())) return -1;
        for (const PackItem* item = pack.First(); item; item = item->Next()) {
            if (int rc = WriteItem(*item, pack.Mode())) return rc;
        }
        return 0;
    }

    int WriteItem(const PackItem& item, int32_t mode) {
        // An item the reader would refuse is not written either.
        if (!IsValidItemType(item.Type())) return -2;
        if (!Put32(item.Type()) || !Put32(item.Count())) return -1;
        if (!sink_.Put(item.Name(), item.NameLength() + 1)) return -1;
        const PackCodec::Slot* slots = PackCodec::Slots(item);
        for (int32_t i = 0; i < item.Count(); ++i) {
            const PackCodec::Slot& slot = slots[i];
            switch (item.Type()) {
                case kPackItemPack:
                    if (int rc = WritePack(*slot.pack)) return rc;
                    break;
                case kPackItemInt:
                    if (!Put32(slot.number)) return -1;
                    break;
                case kPackItemStr: {
                    const char* text = slot.text ? slot.text : "";
                    if (!sink_.Put(text, std::strlen(text) + 1)) return -1;
                    break;
                }
                case kPackItemBin:
                    if (!Put32(slot.block.length)) return -1;
                    if (slot.block.length > 0 && !sink_.Put(slot.block.bytes, static_cast<size_t>(slot.block.length)))
                        return -1;
                    break;
                case kPackItemBinx:
                    if (int rc = WriteBinx(slot.block.bytes, slot.block.length, mode)) return rc;
                    break;
            }
        }
        return 0;
    }

private:
    bool Put32(int32_t value) {
        uint8_t bytes[4];
        StoreBig32(bytes, static_cast<uint32_t>(value));
        return sink_.Put(bytes, 4);
    }

    int WriteBinx(const uint8_t* data, int32_t length, int32_t mode) {
        if (mode == 0) {
            if (!Put32(length)) return -1;
            if (length > 0 && !sink_.Put(data, static_cast<size_t>(length))) return -1;
            return 0;
        }
        const int64_t stored = BinxStoredSize(length, mode);
        if (stored < 0) return static_cast<int>(stored);
        scratch_.resize(static_cast<size_t>(stored));
        const int64_t rc = BinxEncode(data, length, mode, key_.bytes, 8, scratch_.data(), scratch_.size());
        if (rc < 0) return static_cast<int>(rc);
        if (!Put32(static_cast<int32_t>(stored))) return -1;
        return sink_.Put(scratch_.data(), scratch_.size()) ? 0 : -1;
    }

    Sink& sink_;
    KeyBlock key_;
    std::vector<uint8_t> scratch_;
};

// --------------------------------------------------------------- sources

class MemorySource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    uint64_t Remaining() const { return left_; }
    int32_t Read32() {  // caller checked Remaining() >= 4
        const int32_t v = static_cast<int32_t>(LoadBig32(data_));
        data_ += 4;
        left_ -= 4;
        return v;
    }
    bool Read(uint8_t* out, size_t size) {  // caller checked Remaining() >= size
        std::memcpy(out, data_, size);
        data_ += size;
        left_ -= size;
        return true;
    }
    void Skip(size_t size) {  // caller checked Remaining() >= size
        data_ += size;
        left_ -= size;
    }
    // A NUL-terminated text within the remaining bytes.
    bool ReadText(const char*& text, size_t& length) {
        const void* nul = std::memchr(data_, 0, left_);
        if (nul == nullptr) return false;
        text = reinterpret_cast<const char*>(data_);
        length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data_);
        data_ += length + 1;
        left_ -= length + 1;
        return true;
    }

private:
    const uint8_t* data_;
    size_t left_;
};

class StreamSource {
public:
    StreamSource(std::FILE* stream, uint64_t size) : stream_(stream), left_(size) {}
    uint64_t Remaining() const { return left_; }
    bool Failed() const { return failed_; }
    int32_t Read32() {
        uint8_t bytes[4] = {};
        Read(bytes, 4);
        return static_cast<int32_t>(LoadBig32(bytes));
    }
    bool Read(uint8_t* out, size_t size) {
        if (std::fread(out, 1, size, stream_) != size) {
            failed_ = true;
            left_ = 0;
            return false;
        }
        left_ -= size;
        return true;
    }
    bool ReadText(const char*& text, size_t& length) {
        scratch_.clear();
        for (;;) {
            if (left_ == 0) return false;
            const int c = std::getc(stream_);
            if (c == EOF) {
                failed_ = true;
                left_ = 0;
                return false;
            }
            --left_;
            if (c == 0) break;
            scratch_.push_back(static_cast<char>(c));
        }
        text = scratch_.c_str();
        length = scratch_.size();
        return true;
    }

private:
    std::FILE* stream_;
    uint64_t left_;
    bool failed_ = false;
    std::string scratch_;
};

template <class Source>
class Reader {
public:
    Reader(Source& source, const uint8_t* key, int32_t keyLength) : source_(source), key_(key, keyLength) {}

    int ReadPack(Pack& pack, int depth) {
        if (depth > kMaxPackDepth) return -1;
        if (source_.Remaining() < 4) return -1;
        const int32_t count = source_.Read32();
        // A negative count is as impossible as one that cannot fit.
        if (count < 0 || source_.Remaining() < 4 || source_.Remaining() / 4 < static_cast<uint64_t>(count)) return -1;
        const int32_t mode = source_.Read32();
        if (Failed()) return -1;
        PackCodec::SetMode(pack, mode);
        for (int32_t i = 0; i < count; ++i) {
            std::unique_ptr<PackItem> item;
            if (int rc = ReadItem(item, mode, depth)) return rc;
            pack.Add(std::move(item));
        }
        return 0;
    }

    // `depth` is that of the pack holding the item.
    int ReadItem(std::unique_ptr<PackItem>& out, int32_t mode, int depth) {
        if (source_.Remaining() < 4) return -1;
        const int32_t type = source_.Read32();
        if (source_.Remaining() < 4) return -1;
        const int32_t count = source_.Read32();
        // Every value takes at least 4 bytes, but a text can be a lone NUL:
        // counting 4 for texts would refuse arrays of empty texts that the
        // writer produces.
        const uint64_t leastPerValue = type == kPackItemStr ? 1 : 4;
        if (count < 0 || source_.Remaining() / leastPerValue < static_cast<uint64_t>(count)) return -1;
        const char* name = nullptr;
        size_t nameLength = 0;
        if (!source_.ReadText(name, nameLength) || Failed()) return -1;
        if (!IsValidItemType(type)) return -2;
        std::unique_ptr<PackItem> item = PackCodec::NewItem(name, nameLength, type, count);
        PackCodec::Slot* slots = PackCodec::Slots(*item);
        for (int32_t i = 0; i < count; ++i) {
            if (int rc = ReadValue(*item, type, slots[i], mode, depth)) return rc;
        }
        out = std::move(item);
        return 0;
    }

private:
    bool Failed() const {
        if constexpr (requires(const Source& s) { s.Failed(); })
            return source_.Failed();
        else
            return false;
    }

    int ReadValue(PackItem& item, int32_t type, PackCodec::Slot& slot, int32_t mode, int depth) {
        switch (type) {
            case kPackItemPack: {
                slot.pack = new Pack();
                PackCodec::SetOwner(*slot.pack, &item);
                return ReadPack(*slot.pack, depth + 1);
            }
            case kPackItemInt:
                if (source_.Remaining() < 4) return -1;
                slot.number = source_.Read32();
                return Failed() ? -1 : 0;
            case kPackItemStr: {
                const char* text = nullptr;
                size_t length = 0;
                if (!source_.ReadText(text, length)) return -1;
                slot.text = new char[length + 1];
                std::memcpy(slot.text, text, length);
                slot.text[length] = '\0';
                return 0;
            }
            case kPackItemBin:
                return ReadBlock(slot, 0);
            case kPackItemBinx:
                if (mode != 0 && mode != 1) return -2;
                return ReadBlock(slot, mode);
        }
        return -2;
    }

    int ReadBlock(PackCodec::Slot& slot, int32_t mode) {
        if (source_.Remaining() < 4) return -1;
        const int32_t stored = source_.Read32();
        if (Failed()) return -1;
        slot.block.length = stored;
        if (stored <= 0) return 0;
        if (source_.Remaining() < static_cast<uint64_t>(stored)) return -1;
        // A stored cipher block is whole 8-byte blocks; anything else is
        // damaged and never deciphered.
        if (mode == 1 && stored % 8 != 0) return -1;
        slot.block.bytes = new uint8_t[static_cast<size_t>(stored)];
        if (!source_.Read(slot.block.bytes, static_cast<size_t>(stored))) return -1;
        if (mode == 1) {
            DecipherBlocks(slot.block.bytes, slot.block.bytes, key_.bytes, stored);
            slot.block.length = UnframeDeciphered(slot.block.bytes, stored);
        }
        return 0;
    }

    Source& source_;
    KeyBlock key_;
};

// The reader's checks, in the reader's order, over bytes that are only
// walked: the verdict of Reader<MemorySource> without its allocations.
class Checker {
public:
    explicit Checker(MemorySource& source) : source_(source) {}

    int CheckPack(int depth) {
        if (depth > kMaxPackDepth) return -1;
        if (source_.Remaining() < 4) return -1;
        const int32_t count = source_.Read32();
        if (count < 0 || source_.Remaining() < 4 || source_.Remaining() / 4 < static_cast<uint64_t>(count)) return -1;
        const int32_t mode = source_.Read32();
        for (int32_t i = 0; i < count; ++i) {
            if (int rc = CheckItem(mode, depth)) return rc;
        }
        return 0;
    }

private:
    int CheckItem(int32_t mode, int depth) {
        if (source_.Remaining() < 4) return -1;
        const int32_t type = source_.Read32();
        if (source_.Remaining() < 4) return -1;
        const int32_t count = source_.Read32();
        const uint64_t leastPerValue = type == kPackItemStr ? 1 : 4;
        if (count < 0 || source_.Remaining() / leastPerValue < static_cast<uint64_t>(count)) return -1;
        const char* name = nullptr;
        size_t nameLength = 0;
        if (!source_.ReadText(name, nameLength)) return -1;
        if (!IsValidItemType(type)) return -2;
        for (int32_t i = 0; i < count; ++i) {
            if (int rc = CheckValue(type, mode, depth)) return rc;
        }
        return 0;
    }

    int CheckValue(int32_t type, int32_t mode, int depth) {
        switch (type) {
            case kPackItemPack:
                return CheckPack(depth + 1);
            case kPackItemInt:
                if (source_.Remaining() < 4) return -1;
                source_.Read32();
                return 0;
            case kPackItemStr: {
                const char* text = nullptr;
                size_t length = 0;
                return source_.ReadText(text, length) ? 0 : -1;
            }
            case kPackItemBin:
                return CheckBlock(0);
            case kPackItemBinx:
                if (mode != 0 && mode != 1) return -2;
                return CheckBlock(mode);
        }
        return -2;
    }

    int CheckBlock(int32_t mode) {
        if (source_.Remaining() < 4) return -1;
        const int32_t stored = source_.Read32();
        if (stored <= 0) return 0;
        if (source_.Remaining() < static_cast<uint64_t>(stored)) return -1;
        if (mode == 1 && stored % 8 != 0) return -1;
        source_.Skip(static_cast<size_t>(stored));
        return 0;
    }

    MemorySource& source_;
};

// Bytes from the current position to the end of the stream; -1 when the
// stream cannot seek.
int64_t RestOfStream(std::FILE* stream) {
    const long here = std::ftell(stream);
    if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(stream);
    if (std::fseek(stream, here, SEEK_SET) != 0 || end < here) return -1;
    return static_cast<int64_t>(end - here);
}

// The bytes a stream reader may consume: `size`, or the rest of the stream
// when `size` is 0.
bool StreamSize(std::FILE* stream, size_t size, uint64_t& total) {
    if (stream == nullptr) return false;
    total = size;
    if (size != 0) return true;
    const int64_t rest = RestOfStream(stream);
    if (rest < 0) return false;
    total = static_cast<uint64_t>(rest);
    return true;
}

template <class Sink>
int64_t Finish(int rc, const Sink& sink) {
    return rc ? rc : static_cast<int64_t>(sink.Written());
}

}  // namespace

// ------------------------------------------------------------ binx framing

int64_t BinxStoredSize(int32_t length, int32_t mode) {
    if (mode == 0) return length > 0 ? length : 0;
    if (mode != 1) return kPackInvalid;
    const int64_t clear = int64_t{length > 0 ? length : 0} + 4;
    const int64_t stored = (clear + 7) / 8 * 8;
    return stored > std::numeric_limits<int32_t>::max() ? kPackTruncated : stored;
}

int64_t BinxEncode(const uint8_t* data, int32_t length, int32_t mode, const uint8_t* key, int32_t keyLength,
                   uint8_t* out, size_t capacity) {
    const int64_t stored = BinxStoredSize(length, mode);
    if (stored <= 0) return stored;  // an error, or no bytes under mode 0
    if (capacity < static_cast<uint64_t>(stored) || out == nullptr) return kPackTruncated;
    if (mode == 0) {
        std::memcpy(out, data, static_cast<size_t>(stored));
        return stored;
    }
    const size_t valueLength = length > 0 ? static_cast<size_t>(length) : 0;
    std::memset(out, 0, static_cast<size_t>(stored));
    StoreBig32(out, static_cast<uint32_t>(valueLength));
    if (valueLength) std::memcpy(out + 4, data, valueLength);
    const KeyBlock block(key, keyLength);
    EncipherBlocks(out, out, block.bytes, static_cast<int32_t>(stored));
    return stored;
}

int64_t BinxDecode(const uint8_t* stored, int32_t storedLength, int32_t mode, const uint8_t* key,
                   int32_t keyLength, int32_t& valueLength, std::unique_ptr<uint8_t[]>& valueBytes) {
    if (mode != 0 && mode != 1) return kPackInvalid;
    valueBytes.reset();
    valueLength = storedLength;
    if (storedLength <= 0) return 0;
    if (stored == nullptr || (mode == 1 && storedLength % 8 != 0)) return kPackTruncated;
    try {
        valueBytes.reset(new uint8_t[static_cast<size_t>(storedLength)]);
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
    if (mode == 0) {
        std::memcpy(valueBytes.get(), stored, static_cast<size_t>(storedLength));
        return 0;
    }
    const KeyBlock block(key, keyLength);
    DecipherBlocks(stored, valueBytes.get(), block.bytes, storedLength);
    valueLength = UnframeDeciphered(valueBytes.get(), storedLength);
    return 0;
}

// ------------------------------------------------------------------ sizes

int64_t PackSize(const Pack& pack, const uint8_t* key, int32_t keyLength) {
    return WritePack(pack, static_cast<uint8_t*>(nullptr), 0, key, keyLength);
}

int64_t ItemSize(const PackItem& item, int32_t mode, const uint8_t* key, int32_t keyLength) {
    return WriteItem(item, mode, static_cast<uint8_t*>(nullptr), 0, key, keyLength);
}

// ---------------------------------------------------------------- writers

int64_t WritePack(const Pack& pack, uint8_t* buffer, size_t capacity, const uint8_t* key, int32_t keyLength) {
    try {
        MemorySink sink(buffer, capacity);
        Writer<MemorySink> writer(sink, key, keyLength);
        return Finish(writer.WritePack(pack), sink);
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t WritePack(const Pack& pack, std::FILE* stream, const uint8_t* key, int32_t keyLength) {
    if (stream == nullptr) return kPackTruncated;
    try {
        StreamSink sink(stream);
        Writer<StreamSink> writer(sink, key, keyLength);
        return Finish(writer.WritePack(pack), sink);
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t WriteItem(const PackItem& item, int32_t mode, uint8_t* buffer, size_t capacity, const uint8_t* key,
                  int32_t keyLength) {
    try {
        MemorySink sink(buffer, capacity);
        Writer<MemorySink> writer(sink, key, keyLength);
        return Finish(writer.WriteItem(item, mode), sink);
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t WriteItem(const PackItem& item, int32_t mode, std::FILE* stream, const uint8_t* key, int32_t keyLength) {
    if (stream == nullptr) return kPackTruncated;
    try {
        StreamSink sink(stream);
        Writer<StreamSink> writer(sink, key, keyLength);
        return Finish(writer.WriteItem(item, mode), sink);
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

// ---------------------------------------------------------------- readers

int64_t ReadPack(Pack& pack, const uint8_t* data, size_t size, const uint8_t* key, int32_t keyLength) {
    if (size == 0) return 0;
    if (data == nullptr) return kPackTruncated;
    try {
        MemorySource source(data, size);
        Reader<MemorySource> reader(source, key, keyLength);
        if (int rc = reader.ReadPack(pack, 0)) return rc;
        return static_cast<int64_t>(size - source.Remaining());
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t CheckPack(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data == nullptr) return kPackTruncated;
    MemorySource source(data, size);
    if (int rc = Checker(source).CheckPack(0)) return rc;
    return static_cast<int64_t>(size - source.Remaining());
}

int64_t ReadPack(Pack& pack, std::FILE* stream, size_t size, const uint8_t* key, int32_t keyLength) {
    uint64_t total = 0;
    if (!StreamSize(stream, size, total)) return kPackTruncated;
    try {
        StreamSource source(stream, total);
        Reader<StreamSource> reader(source, key, keyLength);
        if (int rc = reader.ReadPack(pack, 0)) return rc;
        return static_cast<int64_t>(total - source.Remaining());
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t ReadItem(std::unique_ptr<PackItem>& item, int32_t mode, const uint8_t* data, size_t size,
                 const uint8_t* key, int32_t keyLength) {
    if (size == 0) return 0;
    if (data == nullptr) return kPackTruncated;
    try {
        MemorySource source(data, size);
        Reader<MemorySource> reader(source, key, keyLength);
        if (int rc = reader.ReadItem(item, mode, 0)) return rc;
        return static_cast<int64_t>(size - source.Remaining());
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

int64_t ReadItem(std::unique_ptr<PackItem>& item, int32_t mode, std::FILE* stream, size_t size,
                 const uint8_t* key, int32_t keyLength) {
    uint64_t total = 0;
    if (!StreamSize(stream, size, total)) return kPackTruncated;
    try {
        StreamSource source(stream, total);
        Reader<StreamSource> reader(source, key, keyLength);
        if (int rc = reader.ReadItem(item, mode, 0)) return rc;
        return static_cast<int64_t>(total - source.Remaining());
    } catch (const std::bad_alloc&) {
        return kPackTruncated;
    }
}

}  // namespace ca
