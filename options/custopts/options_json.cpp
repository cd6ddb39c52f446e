#include "options/custopts/options_json.h"

#include <cstring>
#include <limits>
#include <optional>
#include <nlohmann/json.hpp>

namespace ca::custopts {

namespace {

using Json = nlohmann::json;

// Windows-1252 characters of the bytes 0x80 to 0x9F; the five bytes the
// code page leaves undefined stand for the control character of their number.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t CharacterOf(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : char32_t{byte};
}

bool ByteOf(char32_t c, unsigned char& byte) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        byte = static_cast<unsigned char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] == c) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string HexOf(const PackBytes& block) {
    std::string hex;
    if (block.data == nullptr || block.length <= 0) return hex;
    hex.reserve(2 * static_cast<size_t>(block.length));
    for (int32_t i = 0; i < block.length; ++i) {
        hex += kHexDigits[block.data[i] >> 4];
        hex += kHexDigits[block.data[i] & 15];
    }
    return hex;
}

const char* TypeName(int32_t type) {
    switch (type) {
        case kPackItemPack: return "pack";
        case kPackItemInt: return "int";
        case kPackItemStr: return "str";
        case kPackItemBin: return "bin";
        case kPackItemBinx: return "binx";
        default: return nullptr;
    }
}

// The text is written by hand rather than by the library's indenter, so
// that an item with scalar values stays on one line and only packs open
// blocks: that is what a person edits.
std::string Quote(std::string_view bytes) { return Json(AnsiToUtf8(bytes)).dump(); }

void AppendIndent(std::string& out, int indent) { out.append(static_cast<size_t>(indent), ' '); }

void AppendPack(std::string& out, const Pack& pack, int indent);

void AppendScalar(std::string& out, const PackItem& item, int32_t index) {
    switch (item.Type()) {
        case kPackItemInt:
            out += std::to_string(item.IntValue(index));
            return;
        case kPackItemStr: {
            const char* text = item.Text(index);
            out += Quote(text ? text : "");
            return;
        }
        default: {
            const PackBytes block = item.Bytes(index);
            if (block.length < 0) {
                out += "{\"length\": " + std::to_string(block.length) + "}";
            } else {
                out += "\"" + HexOf(block) + "\"";
            }
            return;
        }
    }
}

void AppendItem(std::string& out, const PackItem& item, int indent) {
    AppendIndent(out, indent);
    const char* type = TypeName(item.Type());
    out += "{\"name\": " + Quote(std::string_view(item.Name(), item.NameLength())) + ", \"type\": " +
           Quote(type ? type : std::to_string(item.Type()));
    const bool single = item.Count() == 1;
    out += single ? ", \"value\": " : ", \"values\": ";
    if (item.Type() == kPackItemPack) {
        if (single) {
            AppendPack(out, *item.NestedPack(0), indent);
        } else if (item.Count() == 0) {
            out += "[]";
        } else {
            out += "[\n";
            for (int32_t i = 0; i < item.Count(); ++i) {
                AppendIndent(out, indent + 2);
                AppendPack(out, *item.NestedPack(i), indent + 2);
                out += i + 1 < item.Count() ? ",\n" : "\n";
            }
            AppendIndent(out, indent);
            out += "]";
        }
    } else if (single) {
        AppendScalar(out, item, 0);
    } else {
        out += "[";
        for (int32_t i = 0; i < item.Count(); ++i) {
            if (i > 0) out += ", ";
            AppendScalar(out, item, i);
        }
        out += "]";
    }
    out += "}";
}

// A pack opened where the text stands, closed at `indent`.
void AppendPack(std::string& out, const Pack& pack, int indent) {
    out += "{\n";
    AppendIndent(out, indent + 2);
    out += "\"mode\": " + std::to_string(pack.Mode()) + ",\n";
    AppendIndent(out, indent + 2);
    if (pack.First() == nullptr) {
        out += "\"items\": []\n";
    } else {
        out += "\"items\": [\n";
        for (const PackItem* item = pack.First(); item; item = item->Next()) {
            AppendItem(out, *item, indent + 4);
            out += item->Next() ? ",\n" : "\n";
        }
        AppendIndent(out, indent + 2);
        out += "]\n";
    }
    AppendIndent(out, indent);
    out += "}";
}

// ------------------------------------------------------------------ reading

class Reader {
public:
    Reader(std::string& error, std::vector<std::string>& warnings) : error_(error), warnings_(warnings) {}

    bool Document(const Json& j, OptionsDocument& document) {
        if (!j.is_object()) return Fail("", "expected an object with the header fields and \"settings\"");
        if (!OnlyMembers(j, "", {"signature", "formatVersion", "majorVersion", "minorVersion", "buildNumber",
                                 "settings"}))
            return false;
        OptionsFileHeader& header = document.header;
        const Json* signature = Member(j, "signature");
        if (signature == nullptr) return Fail("signature", "missing (the first 12 bytes of the file, \"QVRXOPTS\" and the product)");
        if (!Bytes(*signature, "signature", header.signature)) return false;
        if (header.signature.size() > kOptionsSignatureSize) return Fail("signature", "longer than 12 bytes");
        int64_t number = 0;
        if (!Number(j, "", "formatVersion", 0, std::numeric_limits<uint32_t>::max(), 1, number)) return false;
        header.formatVersion = static_cast<uint32_t>(number);
        if (header.formatVersion > 1)
            warnings_.push_back("formatVersion: the import refuses files of a format version above 1");
        if (!Number(j, "", "majorVersion", INT32_MIN, INT32_MAX, std::nullopt, number)) return false;
        header.majorVersion = static_cast<int32_t>(number);
        if (!Number(j, "", "minorVersion", INT32_MIN, INT32_MAX, std::nullopt, number)) return false;
        header.minorVersion = static_cast<int32_t>(number);
        if (!Number(j, "", "buildNumber", INT32_MIN, INT32_MAX, 0, number)) return false;
        header.buildNumber = static_cast<int32_t>(number);

        document.settings.reset();
        const Json* settings = Member(j, "settings");
        if (settings == nullptr || settings->is_null()) return true;
        document.settings = std::make_unique<Pack>();
        return ReadPack(*settings, "settings", 0, *document.settings);
    }

private:
    bool Fail(const std::string& where, const std::string& what) {
        error_ = where.empty() ? what : where + ": " + what;
        return false;
    }

    static const Json* Member(const Json& j, const char* name) {
        const auto it = j.find(name);
        return it == j.end() ? nullptr : &*it;
    }

    bool OnlyMembers(const Json& j, const std::string& where, std::initializer_list<const char*> names) {
        for (const auto& [key, value] : j.items()) {
            bool known = false;
            for (const char* name : names) known = known || key == name;
            if (!known) return Fail(Place(where, key), "unknown member");
        }
        return true;
    }

    static std::string Place(const std::string& where, const std::string& member) {
        return where.empty() ? member : where + "." + member;
    }
    static std::string Place(const std::string& where, size_t index) {
        return where + "[" + std::to_string(index) + "]";
    }

    // A whole number in [low, high]; `fallback` when the member is absent
    // (none: it is required).
    bool Number(const Json& j, const std::string& where, const char* name, int64_t low, int64_t high,
                std::optional<int64_t> fallback, int64_t& number) {
        const Json* value = Member(j, name);
        if (value == nullptr) {
            if (!fallback) return Fail(Place(where, name), "missing");
            number = *fallback;
            return true;
        }
        return Integer(*value, Place(where, name), low, high, number);
    }

    bool Integer(const Json& value, const std::string& where, int64_t low, int64_t high, int64_t& number) {
        const std::string range = "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        if (value.is_number_unsigned()) {
            const uint64_t u = value.get<uint64_t>();
            if (u > static_cast<uint64_t>(high)) return Fail(where, range);
            number = static_cast<int64_t>(u);
            return true;
        }
        if (!value.is_number_integer()) return Fail(where, range);
        number = value.get<int64_t>();
        if (number < low || number > high) return Fail(where, range);
        return true;
    }

    // A text of the code page, without NUL bytes unless `allowNul`.
    bool Bytes(const Json& value, const std::string& where, std::string& bytes, bool allowNul = true) {
        if (!value.is_string()) return Fail(where, "expected a text");
        if (!Utf8ToAnsi(value.get_ref<const std::string&>(), bytes))
            return Fail(where, "holds a character that the Windows-1252 code page lacks");
        if (!allowNul && bytes.find('\0') != std::string::npos) return Fail(where, "a text cannot hold a NUL character");
        return true;
    }

    bool Block(const Json& value, const std::string& where, std::string& bytes, int32_t& length) {
        if (value.is_object()) {
            if (!OnlyMembers(value, where, {"length"})) return false;
            const Json* given = Member(value, "length");
            int64_t number = 0;
            if (given == nullptr) return Fail(where, "expected hexadecimal digits, or {\"length\": N} with N of 0 or less");
            if (!Integer(*given, Place(where, "length"), INT32_MIN, 0, number)) return false;
            bytes.clear();
            length = static_cast<int32_t>(number);
            return true;
        }
        if (!value.is_string()) return Fail(where, "expected hexadecimal digits");
        const std::string& hex = value.get_ref<const std::string&>();
        bytes.clear();
        bytes.reserve(hex.size() / 2);
        int high = -1;
        for (const char c : hex) {
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
            const char* digit = std::strchr(kHexDigits, c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
            if (c == '\0' || digit == nullptr) return Fail(where, "expected hexadecimal digits");
            const int nibble = static_cast<int>(digit - kHexDigits);
            if (high < 0) {
                high = nibble;
            } else {
                bytes += static_cast<char>(high << 4 | nibble);
                high = -1;
            }
        }
        if (high >= 0) return Fail(where, "an odd number of hexadecimal digits");
        if (bytes.size() > static_cast<size_t>(INT32_MAX)) return Fail(where, "too long");
        length = static_cast<int32_t>(bytes.size());
        return true;
    }

    bool ReadPack(const Json& j, const std::string& where, int depth, Pack& pack) {
        if (depth > kMaxPackDepth) return Fail(where, "packs nested deeper than " + std::to_string(kMaxPackDepth) + " levels");
        if (!j.is_object()) return Fail(where, "expected a pack: {\"mode\": 0, \"items\": [...]}");
        if (!OnlyMembers(j, where, {"mode", "items"})) return false;
        int64_t mode = 0;
        if (!Number(j, where, "mode", INT32_MIN, INT32_MAX, 0, mode)) return false;
        pack.SetMode(static_cast<int32_t>(mode), false);
        const Json* items = Member(j, "items");
        if (items == nullptr) return true;
        const std::string itemsPlace = Place(where, "items");
        if (!items->is_array()) return Fail(itemsPlace, "expected a list of items");
        for (size_t i = 0; i < items->size(); ++i) {
            std::unique_ptr<PackItem> item;
            const std::string place = Place(itemsPlace, i);
            if (!ReadItem((*items)[i], place, depth, pack.Mode(), item)) return false;
            if (pack.Find(item->Name()) != nullptr)
                return Fail(Place(place, "name"), "a second item named \"" + AnsiToUtf8(item->Name()) + "\" in this pack");
            pack.Add(std::move(item));
        }
        return true;
    }

    bool ReadItem(const Json& j, const std::string& where, int depth, int32_t mode, std::unique_ptr<PackItem>& item) {
        if (!j.is_object()) return Fail(where, "expected an item: {\"name\": ..., \"type\": ..., \"value\": ...}");
        if (!OnlyMembers(j, where, {"name", "type", "value", "values"})) return false;
        std::string name;
        const Json* given = Member(j, "name");
        if (given == nullptr) return Fail(Place(where, "name"), "missing");
        if (!Bytes(*given, Place(where, "name"), name, false)) return false;
        const Json* typeJson = Member(j, "type");
        if (typeJson == nullptr) return Fail(Place(where, "type"), "missing");
        const std::string type = typeJson->is_string() ? typeJson->get<std::string>() : std::string();
        const Json* single = Member(j, "value");
        const Json* list = Member(j, "values");
        if ((single == nullptr) == (list == nullptr)) return Fail(where, "give either \"value\" or \"values\"");
        if (list != nullptr && !list->is_array()) return Fail(Place(where, "values"), "expected a list");
        std::vector<const Json*> values;
        if (single != nullptr) {
            values.push_back(single);
        } else {
            for (const Json& value : *list) values.push_back(&value);
        }
        if (values.size() > static_cast<size_t>(INT32_MAX)) return Fail(where, "too many values");
        const int32_t count = static_cast<int32_t>(values.size());
        auto placeOf = [&](size_t i) {
            return single != nullptr ? Place(where, "value") : Place(Place(where, "values"), i);
        };

        if (type == "pack") {
            std::vector<std::unique_ptr<Pack>> packs;
            for (size_t i = 0; i < values.size(); ++i) {
                packs.push_back(std::make_unique<Pack>());
                if (!ReadPack(*values[i], placeOf(i), depth + 1, *packs.back())) return false;
            }
            if (count == 1) {
                item = std::make_unique<PackItem>(name.c_str(), std::move(packs[0]));
            } else {
                std::vector<const Pack*> pointers;
                for (const auto& pack : packs) pointers.push_back(pack.get());
                item = std::make_unique<PackItem>(name.c_str(), pointers.data(), count);
            }
        } else if (type == "int") {
            std::vector<int32_t> numbers;
            for (size_t i = 0; i < values.size(); ++i) {
                int64_t number = 0;
                if (!Integer(*values[i], placeOf(i), INT32_MIN, INT32_MAX, number)) return false;
                numbers.push_back(static_cast<int32_t>(number));
            }
            item = std::make_unique<PackItem>(name.c_str(), numbers.data(), count);
        } else if (type == "str") {
            std::vector<std::string> texts(values.size());
            std::vector<const char*> pointers;
            for (size_t i = 0; i < values.size(); ++i) {
                if (!Bytes(*values[i], placeOf(i), texts[i], false)) return false;
                pointers.push_back(texts[i].c_str());
            }
            item = std::make_unique<PackItem>(name.c_str(), pointers.data(), count);
        } else if (type == "bin" || type == "binx") {
            const bool enciphered = type == "binx";
            if (enciphered && count > 0 && mode != 0 && mode != 1)
                return Fail(where, "binx values need their pack's mode to be 0 (stored plain) or 1 (enciphered)");
            std::vector<std::string> bytes(values.size());
            std::vector<PackBytes> blocks(values.size());
            for (size_t i = 0; i < values.size(); ++i) {
                int32_t length = 0;
                if (!Block(*values[i], placeOf(i), bytes[i], length)) return false;
                blocks[i] = PackBytes{reinterpret_cast<const uint8_t*>(bytes[i].data()), length};
                if (enciphered && mode == 1 && length <= 0)
                    warnings_.push_back(placeOf(i) + ": an empty binx value under mode 1 reads back as 4 zero bytes");
            }
            item = std::make_unique<PackItem>(name.c_str(), blocks.data(), count, enciphered);
        } else {
            return Fail(Place(where, "type"), "expected \"pack\", \"int\", \"str\", \"bin\" or \"binx\"");
        }
        return true;
    }

    std::string& error_;
    std::vector<std::string>& warnings_;
};

}  // namespace

std::string AnsiToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) AppendUtf8(out, CharacterOf(static_cast<unsigned char>(c)));
    return out;
}

bool Utf8ToAnsi(std::string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        char32_t c = 0;
        size_t length = 0;
        if (lead < 0x80) {
            c = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            length = 3;
        } else {
            return false;  // beyond the code page in any case, or not UTF-8
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        unsigned char byte = 0;
        if (!ByteOf(c, byte)) return false;
        bytes += static_cast<char>(byte);
        i += length;
    }
    return true;
}

std::string OptionsJson(const OptionsFileContent& content) {
    std::string signature(reinterpret_cast<const char*>(content.header), kOptionsSignatureSize);
    signature.erase(signature.find_last_not_of('\0') + 1);
    std::string out = "{\n";
    out += "  \"signature\": " + Quote(signature) + ",\n";
    out += "  \"formatVersion\": " + std::to_string(content.FormatVersion()) + ",\n";
    out += "  \"majorVersion\": " + std::to_string(content.MajorVersion()) + ",\n";
    out += "  \"minorVersion\": " + std::to_string(content.MinorVersion()) + ",\n";
    out += "  \"buildNumber\": " + std::to_string(content.BuildNumber()) + ",\n";
    out += "  \"settings\": ";
    if (content.pack) {
        AppendPack(out, *content.pack, 2);
    } else {
        out += "null";
    }
    return out + "\n}\n";
}

bool ParseOptionsJson(std::string_view text, OptionsDocument& document, std::string& error) {
    document = OptionsDocument{};
    try {
        const Json j = Json::parse(text.begin(), text.end());
        return Reader(error, document.warnings).Document(j, document);
    } catch (const Json::exception& e) {
        // The library's own tag ("[json.exception.parse_error.101] ") says
        // nothing to the reader.
        std::string message = e.what();
        if (const size_t at = message.find("] "); message.rfind("[json.exception.", 0) == 0 && at != std::string::npos)
            message.erase(0, at + 2);
        error = "not a JSON text: " + message;
        return false;
    }
}

std::vector<uint8_t> BuildOptionsFile(const OptionsDocument& document) {
    return ca::BuildOptionsFile(document.header, document.settings.get());
}

}  // namespace ca::custopts
