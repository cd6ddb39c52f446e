// Diagnostic text of a pack: one pass measures, the next fills.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "options/codec/pack.h"
#include "options/codec/pack_internal.h"

namespace ca {
namespace {

class TextOut {
public:
    explicit TextOut(char* buffer) : buffer_(buffer) {}
    void Put(const char* text, size_t length) {
        if (buffer_) std::memcpy(buffer_ + length_, text, length);
        length_ += length;
    }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    void PutChar(char c) {
        if (buffer_) buffer_[length_] = c;
        ++length_;
    }
    void Indent(int depth) {
        const size_t width = static_cast<size_t>(std::min(2 * depth, 1024));
        if (buffer_) std::memset(buffer_ + length_, ' ', width);
        length_ += width;
    }
    void Format(const char* format, int32_t value) {
        char text[32];
        const int n = std::snprintf(text, sizeof text, format, value);
        if (n > 0) Put(text, static_cast<size_t>(n));
    }
    uint64_t Length() const { return length_; }

private:
    char* buffer_;
    uint64_t length_ = 0;
};

const char* TypeWord(int32_t type) {
    switch (type) {
        case kPackItemPack: return "pack ";
        case kPackItemInt: return "int ";
        case kPackItemStr: return "str ";
        case kPackItemBin: return "bin ";
        case kPackItemBinx: return "(binx) ";
        default: return "??? ";
    }
}

void RenderPack(TextOut& out, const Pack& pack, int depth);

void RenderBlock(TextOut& out, const PackBytes& block) {
    static const char kHex[] = "0123456789ABCDEF";
    out.Format("(%d) = ", block.length);
    const int32_t length = block.data ? block.length : 0;
    for (int32_t i = 0; i < length; ++i) {
        const char hex[3] = {kHex[block.data[i] >> 4], kHex[block.data[i] & 15], ' '};
        out.Put(hex, 3);
    }
    out.Put(" [", 2);
    for (int32_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(block.data[i]);
        out.PutChar(static_cast<signed char>(c) >= 32 ? c : '.');
    }
    out.Put("]\r\n", 3);
}

void RenderItem(TextOut& out, const PackItem& item, int depth) {
    out.Indent(depth);
    out.PutChar('"');
    out.Put(item.Name(), item.NameLength());
    out.Put("\" ", 2);
    const bool single = item.Count() == 1;
    if (!single || item.Type() == kPackItemPack || item.Type() == kPackItemBinx) out.Put(TypeWord(item.Type()));
    if (!single) out.Format("(%d)\r\n", item.Count());
    for (int32_t i = 0; i < item.Count(); ++i) {
        if (!single) {
            out.Indent(depth);
            out.Format("[%d] ", i);
        }
        switch (item.Type()) {
            case kPackItemPack:
                RenderPack(out, *item.NestedPack(i), depth);
                break;
            case kPackItemInt: {
                const int32_t value = item.IntValue(i);
                out.Format("= %d", value);
                if (value > 9) out.Format(" (0x%X)", value);
                out.Put("\r\n", 2);
                break;
            }
            case kPackItemStr: {
                const char* text = item.Text(i);
                out.Put("= \"", 3);
                out.Put(text ? text : "<NULL>");
                out.Put("\"\r\n", 3);
                break;
            }
            case kPackItemBin:
            case kPackItemBinx:
                RenderBlock(out, item.Bytes(i));
                break;
            default:
                break;
        }
    }
}

void RenderPack(TextOut& out, const Pack& pack, int depth) {
    if (depth == 0) out.Put("pack[0] ");
    if (pack.Mode() != 0) out.Format("(e%d)\r\n", pack.Mode());
    out.Put("\r\n", 2);
    out.Indent(depth);
    out.Put("------------------------------\r\n");
    for (const PackItem* item = pack.First(); item; item = item->Next()) RenderItem(out, *item, depth + 1);
}

}  // namespace

int64_t RenderPackText(Pack& pack, char* buffer, size_t capacity, int32_t sort) {
    TextOut measure(nullptr);
    RenderPack(measure, pack, 0);
    const uint64_t length = measure.Length();
    if (buffer == nullptr) return static_cast<int64_t>(length);
    if (length >= capacity) return kPackTruncated;
    if (sort > 0) pack.Sort();
    TextOut fill(buffer);
    RenderPack(fill, pack, 0);
    buffer[length] = '\0';
    return static_cast<int64_t>(length);
}

std::string RenderPackText(Pack& pack, int32_t sort) {
    const int64_t length = RenderPackText(pack, nullptr, 0, sort);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    RenderPackText(pack, text.data(), text.size(), sort);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace ca
