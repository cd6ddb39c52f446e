// Text layouts of the diagnostics library: the byte dump, the STRG and HKEY
// lines, the time-zone offset, the error dump and the file-failure lines.
// No Windows API here: the callers fetch the system values and hand them in,
// so these build with any compiler and are unit-tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ca {

// Longest block FormatHexDump shows; bytes beyond it are left out.
inline constexpr size_t kHexDumpMaxBytes = 0xFFFF;

// Hexadecimal dump, 12 bytes a line in three groups of four:
//   "0000: 00010203 04050607 08090A0B ............\r\n"
// Short last lines are padded so that the ASCII column always starts in
// column 34. Absent bytes or a length of 0 give "STRG: [NULL]\r\n".
std::string FormatHexDump(const void* bytes, size_t length);

// "STRG: [%s]\r\n"; an absent text prints as empty brackets.
std::string FormatStrgLine(const char* text);
std::string FormatStrgLine(std::string_view text);

// Four-letter name of a predefined registry root key given by its 32-bit
// handle value (0x80000002 -> "HKLM"); empty for any other handle.
std::string RootKeyName(uint32_t handleValue);

// "HKEY: %s\r\n" with the root-key name, or with the handle value
// sign-extended to 64 bits in at least eight upper-case hex digits
// (0x00000A3C, 0xFFFFFFFF80000007) when the handle is not a root key.
std::string FormatRootKeyLine(uint32_t handleValue);

// Offset in minutes east of UTC that stands for a failed time-zone query.
inline constexpr int32_t kUnknownGmtOffset = -9999;

// "(GMT+3:00)" from the time-zone bias (minutes to add to local time to get
// UTC, so UTC+3 has bias -180). A failed query prints (GMT-166:39).
std::string FormatGmtOffset(int32_t bias, bool queryFailed);

// The text with CR LF appended unless it already ends in CR LF.
std::string WithLineEnd(std::string_view text);

// The error dump of a record: Text, Code, Time and Point lines, then the
// extended text under "Ext  :" when there is one. Empty when the point is.
std::string FormatErrDumpLayout(std::string_view point, int32_t code, std::string_view text,
                                std::string_view extText, std::string_view timeText,
                                std::string_view gmtOffsetText);

// The classification of a file failure (the number after "FE:cause=") by
// the system's error number: 2 missing file, path or drive, or a bad name;
// 3 access denied or write-protected; 4 sharing violation; 5 lock
// violation; 6 disk full; 7 invalid handle; 8 bad seek; 1 anything else.
int32_t FileCauseNumber(uint32_t osError);

// The three lines that describe a file failure:
//   FE:cause=%d [%s] / FE:error=%d [%s] / FE:file=[%s]
std::string FormatFileExceptionLines(int32_t cause, std::string_view causeText, int32_t osError,
                                     std::string_view osErrorText, std::string_view fileName);

}  // namespace ca
