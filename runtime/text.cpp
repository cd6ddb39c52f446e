#include "runtime/text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ca {

std::string StringPrintfV(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = StringPrintfV(format, args);
    va_end(args);
    return out;
}

int32_t ParseLeadingInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && !(text[i] == '-' || (text[i] >= '0' && text[i] <= '9'))) ++i;
    if (i == text.size()) return 0;
    bool negative = false;
    if (text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == text.size() || text[i] < '0' || text[i] > '9') return 0;
    // Accumulate as a negative number so INT32_MIN fits; clamp on overflow.
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) break;
    }
    if (negative) return value > int64_t{INT32_MAX} ? INT32_MIN : static_cast<int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

int AtoiClamped(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string DecimalText(int32_t value) {
    char buffer[260] = {};
    std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value));
    return buffer;
}

std::string FormatLogRecord(const LogStamp& s, std::string_view text) {
    std::string record = StringPrintf("%04d.%02d.%02d %02d:%02d:%02d  ", s.year, s.month, s.day,
                                      s.hour, s.minute, s.second);
    record.append(text);
    if (record.size() < 2 || record.compare(record.size() - 2, 2, "\r\n") != 0) record += "\r\n";
    return record;
}

std::string EscapeFormattedText(std::string_view text, bool (*isLeadByte)(unsigned char)) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (isLeadByte != nullptr && isLeadByte(static_cast<unsigned char>(c)) && i + 1 < text.size()) {
            out += c;
            out += text[++i];
        } else if (c == '[' || c == ']' || c == '{' || c == '}') {
            out += "[\\";
            out += c;
            out += ']';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace ca
