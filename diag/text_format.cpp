#include "diag/text_format.h"

#include "runtime/text.h"

#include <cstdlib>

namespace ca {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kBytesPerLine = 12;
constexpr size_t kBytesPerGroup = 4;
constexpr size_t kGroupsPerLine = kBytesPerLine / kBytesPerGroup;

void AppendHexByte(std::string& out, unsigned char byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

}  // namespace

std::string FormatHexDump(const void* bytes, size_t length) {
    if (bytes == nullptr || length == 0) return FormatStrgLine("NULL");
    if (length > kHexDumpMaxBytes) length = kHexDumpMaxBytes;
    const auto* data = static_cast<const unsigned char*>(bytes);

    std::string out;
    const size_t lines = (length + kBytesPerLine - 1) / kBytesPerLine;
    out.reserve(lines * (5 + 32 + 1 + kBytesPerLine + 2));
    for (size_t start = 0; start < length; start += kBytesPerLine) {
        const size_t count = length - start < kBytesPerLine ? length - start : kBytesPerLine;
        const unsigned offset = static_cast<unsigned>(start & 0xFFFF);
        out += kHexDigits[(offset >> 12) & 0x0F];
        out += kHexDigits[(offset >> 8) & 0x0F];
        out += kHexDigits[(offset >> 4) & 0x0F];
        out += kHexDigits[offset & 0x0F];
        out += ':';
        for (size_t i = 0; i < count; ++i) {
            if (i % kBytesPerGroup == 0) out += ' ';
            AppendHexByte(out, data[start + i]);
        }
        out += ' ';
        if (count < kBytesPerLine) {
            const size_t groupsUsed = (count + kBytesPerGroup - 1) / kBytesPerGroup;
            out.append(2 * (kBytesPerLine - count) + (kGroupsPerLine - groupsUsed), ' ');
        }
        for (size_t i = 0; i < count; ++i) {
            const unsigned char c = data[start + i];
            out += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
        }
        out += "\r\n";
    }
    return out;
}

std::string FormatStrgLine(const char* text) {
    return FormatStrgLine(std::string_view(text ? text : ""));
}

std::string FormatStrgLine(std::string_view text) {
    std::string out = "STRG: [";
    out.append(text);
    out += "]\r\n";
    return out;
}

std::string RootKeyName(uint32_t handleValue) {
    switch (handleValue) {
        case 0x80000000u: return "HKCR";
        case 0x80000001u: return "HKCU";
        case 0x80000002u: return "HKLM";
        case 0x80000003u: return "HKUS";
        case 0x80000004u: return "HKPD";
        case 0x80000005u: return "HKCC";
        case 0x80000006u: return "HKDD";
        case 0x80000050u: return "HKPT";
        case 0x80000060u: return "HKPN";
        default: return std::string();
    }
}

std::string FormatRootKeyLine(uint32_t handleValue) {
    std::string name = RootKeyName(handleValue);
    if (name.empty()) {
        // Handles are signed 32-bit values widened the way the system widens
        // them, so the predefined-key range shows its sign extension.
        const int64_t widened = static_cast<int32_t>(handleValue);
        name = StringPrintf("0x%08llX", static_cast<unsigned long long>(widened));
    }
    return "HKEY: " + name + "\r\n";
}

std::string FormatGmtOffset(int32_t bias, bool queryFailed) {
    const int32_t offset = queryFailed ? kUnknownGmtOffset : -bias;
    const int32_t hours = offset / 60;
    const int32_t minutes = std::abs(offset % 60);
    // The sign comes from the whole offset: half an hour west is -0:30, not
    // +0:30 as the sign of the truncated hours alone would make it.
    if (offset < 0 && hours == 0) return StringPrintf("(GMT-0:%02d)", minutes);
    return StringPrintf("(GMT%+0d:%02d)", hours, minutes);
}

std::string WithLineEnd(std::string_view text) {
    std::string out(text);
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) out += "\r\n";
    return out;
}

std::string FormatErrDumpLayout(std::string_view point, int32_t code, std::string_view text,
                                std::string_view extText, std::string_view timeText,
                                std::string_view gmtOffsetText) {
    if (point.empty()) return std::string();
    std::string out;
    out += "Text : ";
    out.append(text);
    out += "\r\n";
    out += StringPrintf("Code : %d (0x%X)\r\n", code, static_cast<unsigned>(code));
    out += "Time : ";
    out.append(timeText);
    out += ' ';
    out.append(gmtOffsetText);
    out += "\r\n";
    out += "Point: ";
    out.append(point);
    out += "\r\n";
    if (!extText.empty()) {
        out += "Ext  :\r\n";
        out.append(extText);
    }
    return out;
}

int32_t FileCauseNumber(uint32_t osError) {
    switch (osError) {
        case 2:    // ERROR_FILE_NOT_FOUND
        case 3:    // ERROR_PATH_NOT_FOUND
        case 123:  // ERROR_INVALID_NAME
        case 161:  // ERROR_BAD_PATHNAME
        case 15:   // ERROR_INVALID_DRIVE
            return 2;
        case 5:   // ERROR_ACCESS_DENIED
        case 19:  // ERROR_WRITE_PROTECT
            return 3;
        case 32:  // ERROR_SHARING_VIOLATION
            return 4;
        case 33:  // ERROR_LOCK_VIOLATION
            return 5;
        case 112:  // ERROR_DISK_FULL
        case 39:   // ERROR_HANDLE_DISK_FULL
            return 6;
        case 6:  // ERROR_INVALID_HANDLE
            return 7;
        case 131:  // ERROR_NEGATIVE_SEEK
        case 25:   // ERROR_SEEK
            return 8;
        default:
            return 1;
    }
}

std::string FormatFileExceptionLines(int32_t cause, std::string_view causeText, int32_t osError,
                                     std::string_view osErrorText, std::string_view fileName) {
    std::string out = StringPrintf("FE:cause=%d [", cause);
    out.append(causeText);
    out += "]\r\n";
    out += StringPrintf("FE:error=%d [", osError);
    out.append(osErrorText);
    out += "]\r\n";
    out += "FE:file=[";
    out.append(fileName);
    out += "]\r\n";
    return out;
}

}  // namespace ca
