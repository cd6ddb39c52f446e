#include "options/custopts/reg_text.h"

#include <cstring>
#include <vector>

#include "options/custopts/import_check.h"
#include "options/custopts/options_json.h"
#include "options/codec/registry_encoding.h"
#include "runtime/text.h"

namespace ca::custopts {

namespace {

constexpr char kLineEnd[] = "\r\n";
// Hexadecimal data is wrapped before this column, as regedit wraps it.
constexpr size_t kWrapColumn = 77;

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

class RegWriter {
public:
    explicit RegWriter(std::string& error) : error_(error) {}

    // A pack replacing the key at `path` as a whole.
    bool Pack(const ca::Pack& pack, const std::string& path) {
        if (HasLineBreak(path)) return Fail("the key name \"" + AnsiToUtf8(path) + "\" holds a line break, which a .reg file cannot");
        text_ += kLineEnd;
        text_ += "[-" + path + "]" + kLineEnd + kLineEnd;
        Section(path);
        for (const PackItem* item = pack.First(); item; item = item->Next()) {
            if (item->Type() == kPackItemPack) {
                static const ca::Pack kEmpty;
                if (!Pack(item->Count() >= 1 ? *item->NestedPack(0) : kEmpty, path + "\\" + item->Name())) return false;
                continue;
            }
            if (!Value(*item, pack.Mode(), path)) return false;
        }
        return true;
    }

    void VersionRecord(const std::string& path, uint32_t packed) {
        text_ += kLineEnd;
        Section(path);
        if (packed == 0) return;
        text_ += StringPrintf("\"MajorVer\"=dword:%08x\r\n", packed >> 24);
        text_ += StringPrintf("\"MinorVer\"=dword:%08x\r\n", (packed >> 16) & 0xFFu);
        text_ += StringPrintf("\"NumbBuild\"=dword:%08x\r\n", packed & 0xFFFFu);
    }

    std::string Text() const { return "REGEDIT4" + std::string(kLineEnd) + text_; }

private:
    bool Fail(const std::string& message) {
        error_ = message;
        return false;
    }

    // Values go to the key of the last section; a nested pack written in
    // between has opened its own.
    void Section(const std::string& path) {
        text_ += "[" + path + "]" + kLineEnd;
        section_ = path;
    }

    bool Value(const PackItem& item, int32_t mode, const std::string& path) {
        uint32_t type = 0;
        if (EncodeRegistryValue(item, mode, nullptr, 0, type, data_) != 0)
            return Fail("the item \"" + AnsiToUtf8(item.Name()) + "\" has no registry form; ImportOpt_run refuses the settings");
        const std::string name = RegistryValueName(item);
        if (HasLineBreak(name)) return Fail("the value name \"" + AnsiToUtf8(name) + "\" holds a line break, which a .reg file cannot");
        if (section_ != path) {
            text_ += kLineEnd;
            Section(path);
        }
        std::string line = name.empty() ? "@=" : Quoted(name) + "=";
        const std::string_view bytes(reinterpret_cast<const char*>(data_.data()), data_.size());
        switch (type) {
            case kRegDword:
                line += StringPrintf("dword:%08x", static_cast<unsigned>(data_[0] | data_[1] << 8 | data_[2] << 16 |
                                                                         static_cast<unsigned>(data_[3]) << 24));
                break;
            case kRegSz:
                // A text with its NUL, quoted unless it holds a line break;
                // no data at all (an item without values) only as bytes.
                if (!bytes.empty() && bytes.back() == '\0' && !HasLineBreak(bytes)) {
                    line += Quoted(bytes.substr(0, bytes.size() - 1));
                    break;
                }
                Hex(line, "hex(1):", bytes);
                break;
            case kRegMultiSz:
                Hex(line, "hex(7):", bytes);
                break;
            default:
                Hex(line, "hex:", bytes);
                break;
        }
        text_ += line + kLineEnd;
        return true;
    }

    static void Hex(std::string& line, const char* tag, std::string_view bytes) {
        line += tag;
        size_t column = line.size();
        for (size_t i = 0; i < bytes.size(); ++i) {
            const bool last = i + 1 == bytes.size();
            if (column + (last ? 2 : 3) > kWrapColumn) {
                line += "\\\r\n  ";
                column = 2;
            }
            line += StringPrintf(last ? "%02x" : "%02x,", static_cast<unsigned char>(bytes[i]));
            column += last ? 2 : 3;
        }
    }

    std::string& error_;
    std::string text_;
    std::string section_;
    std::vector<uint8_t> data_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        const char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool ParseSettingsRoot(const std::string& text, SettingsRoot& root, std::string& error) {
    const size_t slash = text.find('\\');
    const std::string key = text.substr(0, slash);
    if (EqualsIgnoringCase(key, "HKEY_CURRENT_USER") || EqualsIgnoringCase(key, "HKCU")) {
        root.scope = 0;
    } else if (EqualsIgnoringCase(key, "HKEY_LOCAL_MACHINE") || EqualsIgnoringCase(key, "HKLM")) {
        root.scope = 1;
    } else {
        error = "the settings root must start with HKEY_CURRENT_USER\\ (HKCU\\) or HKEY_LOCAL_MACHINE\\ (HKLM\\): " + text;
        return false;
    }
    root.path = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (root.path.empty() || root.path.front() == '\\' || root.path.back() == '\\' ||
        root.path.find("\\\\") != std::string::npos) {
        error = "the settings root needs a key path below " + key + ", without empty parts: " + text;
        return false;
    }
    if (HasLineBreak(root.path)) {
        error = "the settings root holds a line break";
        return false;
    }
    return true;
}

bool ImportRegText(const OptionsFileContent& content, const SettingsRoot& root, std::string& text, std::string& error) {
    if (content.pack && ValidateForRegistry(*content.pack) != 0) {
        error = StringPrintf(
            "ImportOpt_run refuses these settings (Code: 13 Point: %s:%s): an item has no name, or a pack item "
            "holds more than one pack",
            kRunWorkerPoint, kSaveProfilesPoint);
        return false;
    }
    RegWriter writer(error);
    const std::string hive = root.scope == 1 ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    // A file without table entries leaves the profiles as they are.
    if (content.pack && !writer.Pack(*content.pack, hive + "\\" + root.path + "\\" + "Profiles")) return false;
    // The version record is always the current user's.
    writer.VersionRecord("HKEY_CURRENT_USER\\" + root.path + "\\OptionVersion", content.PackedVersion());
    text = writer.Text();
    return true;
}

}  // namespace ca::custopts
