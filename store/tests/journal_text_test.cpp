// The journal's lines: what a power cut leaves at the end is no record, and
// nothing a field holds can break a line apart.
#include "store/journal_text.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ca {
namespace {

TEST(JournalText, FieldsRoundTripWhateverTheyHold) {
    const std::vector<JournalRecord> records = {
        {"file", "S-1-5-21-1", "C:\\Users\\a b\\AppData\\x.ini", "00000001"},
        {"odd", "tab\there", "line\nbreak\r", "back\\slash\\t", ""},
        {""},
    };
    std::string bytes;
    for (const JournalRecord& record : records) bytes += EncodeJournalRecord(record);
    size_t intact = 0;
    EXPECT_EQ(DecodeJournal(bytes, &intact), records);
    EXPECT_EQ(intact, bytes.size());
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
}

TEST(JournalText, ATornOrDamagedTailEndsTheJournal) {
    const std::string first = EncodeJournalRecord({"acl", "Software\\Key", "D:P(A;;KA;;;SY)"});
    const std::string second = EncodeJournalRecord({"moved", "00000002"});
    // Every cut inside the second record leaves exactly the first.
    for (size_t cut = 0; cut < second.size(); ++cut) {
        size_t intact = 0;
        const auto records = DecodeJournal(first + second.substr(0, cut), &intact);
        ASSERT_EQ(records.size(), 1u) << cut;
        EXPECT_EQ(intact, first.size());
        EXPECT_FALSE(IsDamagedInside(first + second.substr(0, cut) + std::string(9, '\0'), intact)) << cut;
    }
    // Zeros a file system left after the last write, a changed byte, a
    // broken escape: no record from there on.
    std::string damaged = second;
    damaged[1] ^= 0x20;
    for (const std::string& tail : {std::string(64, '\0'), damaged, std::string("x\\q\t") + "00000000\n"}) {
        size_t intact = 0;
        EXPECT_EQ(DecodeJournal(first + tail + second, &intact).size(), 1u);
        // A record after a damaged one is damage inside, not a torn tail.
        EXPECT_EQ(IsDamagedInside(first + tail + second, intact), tail[0] != '\0');
    }
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
}

}  // namespace
}  // namespace ca
