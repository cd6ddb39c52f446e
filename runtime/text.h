// Text helpers shared by the whole module. No Windows API here: this builds
// with any compiler and is unit-tested natively.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace ca {

// printf into a std::string.
std::string StringPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string StringPrintfV(const char* format, va_list args);

// The integer at the start of a property text: skips everything up to the
// first decimal digit or minus sign, then converts like strtol in base 10,
// clamped to the signed 32-bit range. Text without a number gives 0.
int32_t ParseLeadingInteger(std::string_view text);

// atoi without its undefined overflow: leading blanks and a sign allowed,
// text without a number gives 0, values beyond the int range are clamped.
int AtoiClamped(const char* text);

// Signed decimal text of an integer result property ("-7", "0", "412").
std::string DecimalText(int32_t value);

// Local date and time of a log record, as the log stamps it.
struct LogStamp {
    int year, month, day, hour, minute, second;
};

// One record of the installer log: stamp, two blanks, the text, and CR LF
// unless the stamped text already ends with CR LF.
std::string FormatLogRecord(const LogStamp& stamp, std::string_view text);

// A formatted text of the installer (a record's template) that formats back
// to `text` itself: every "[", "]", "{" and "}" becomes the escape "[\c]", so
// nothing in it is taken for a property, a field or a conditional group. With
// a lead-byte test for the code page, the trail byte of a double-byte
// character is copied as it is, never escaped.
std::string EscapeFormattedText(std::string_view text, bool (*isLeadByte)(unsigned char) = nullptr);

}  // namespace ca
