#include "store/journal_text.h"

#include <array>
#include <cstdio>

namespace ca {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void AppendEscaped(std::string& out, const std::string& field) {
    for (char c : field) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
}

// The fields of one line without its CRC; false for an escape that means
// nothing.
bool SplitFields(std::string_view text, JournalRecord& fields) {
    fields.assign(1, std::string());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\') {
            if (++i == text.size()) return false;
            switch (text[i]) {
                case '\\': fields.back() += '\\'; break;
                case 't': fields.back() += '\t'; break;
                case 'n': fields.back() += '\n'; break;
                case 'r': fields.back() += '\r'; break;
                default: return false;
            }
        } else {
            fields.back() += c;
        }
    }
    return true;
}

bool ParseHex32(std::string_view text, uint32_t& value) {
    if (text.size() != 8) return false;
    value = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return false;
        value = (value << 4) | digit;
    }
    return true;
}

}  // namespace

uint32_t Crc32(std::string_view bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string EncodeJournalRecord(const JournalRecord& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += '\t';
        AppendEscaped(line, fields[i]);
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "\t%08X\n", static_cast<unsigned>(Crc32(line)));
    return line + crc;
}

std::vector<JournalRecord> DecodeJournal(std::string_view bytes, size_t* intactLength) {
    std::vector<JournalRecord> records;
    size_t at = 0;
    for (;;) {
        const size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos) break;
        const std::string_view line = bytes.substr(at, end - at);
        const size_t tab = line.rfind('\t');
        uint32_t crc = 0;
        if (tab == std::string_view::npos || !ParseHex32(line.substr(tab + 1), crc)) break;
        const std::string_view body = line.substr(0, tab);
        JournalRecord fields;
        if (Crc32(body) != crc || !SplitFields(body, fields)) break;
        records.push_back(std::move(fields));
        at = end + 1;
    }
    if (intactLength) *intactLength = at;
    return records;
}

bool IsDamagedInside(std::string_view bytes, size_t intactLength) {
    const size_t end = bytes.find('\n', intactLength);
    if (end == std::string_view::npos) return false;
    return bytes.find_first_not_of('\0', end + 1) != std::string_view::npos;
}

}  // namespace ca
