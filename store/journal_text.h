// The text form of an undo journal: one line per record, written and flushed
// before the change it describes. A record is a list of fields; each line is
// the fields, tab-separated (a tab, a line break or a backslash inside a
// field escaped with a backslash), then a tab and the CRC-32 of everything
// before it in eight hexadecimal digits, then a line feed. A record is
// complete only with its line feed and a matching CRC: the tail a power cut
// tore off (or left as zeros) reads as no record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ca {

using JournalRecord = std::vector<std::string>;

// The line of one record, its line feed included.
std::string EncodeJournalRecord(const JournalRecord& fields);

// The complete records at the start of `bytes`, in order. Reading stops at
// the first line that is torn or damaged; `intactLength` receives the
// length of what was read (where the next record would be appended).
std::vector<JournalRecord> DecodeJournal(std::string_view bytes, size_t* intactLength = nullptr);

// Whether `bytes` hold more after their intact records (`intactLength`)
// than one torn record and zeros: a line ends inside the rest and something
// follows it. A power cut tears only the last record (each is flushed
// before the next is written, and a torn one is written over); anything
// more is damage inside the journal, and the records after it are not seen.
bool IsDamagedInside(std::string_view bytes, size_t intactLength);

// CRC-32 (the polynomial of zip and PNG).
uint32_t Crc32(std::string_view bytes);

}  // namespace ca
