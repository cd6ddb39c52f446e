#include "diag/trace_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace ca {
namespace {

const TraceTime kMorning{2024, 3, 7, 9, 5, 4, 42};
const TraceTime kNextDay{2024, 3, 8, 0, 0, 1, 7};

TEST(TraceBody, ContinuationLinesAreIndented) {
    EXPECT_EQ(IndentTraceBody("one\r\ntwo\r\n"), "one\r\n  two\r\n");
    EXPECT_EQ(IndentTraceBody("one\r\ntwo"), "one\r\n  two");
    EXPECT_EQ(IndentTraceBody("a\r\n\r\nb"), "a\r\n  \r\n  b");
    EXPECT_EQ(IndentTraceBody("single"), "single");
    EXPECT_EQ(IndentTraceBody("\r\n"), "\r\n");
    EXPECT_EQ(IndentTraceBody("x\r\n"), "x\r\n");
    EXPECT_EQ(IndentTraceBody(""), "");
}

TEST(RingRules, WrapWhenTheEndReachesTheMaximum) {
    EXPECT_FALSE(RingMustWrap(8, 91, 100));
    EXPECT_TRUE(RingMustWrap(8, 92, 100));  // ends exactly at the maximum
    EXPECT_TRUE(RingMustWrap(120, 1, 100));
    EXPECT_TRUE(RingMustWrap(8, UINT64_MAX, 100));
}

TEST(RingRules, ReadRanges) {
    using R = std::vector<RingRange>;
    // Not wrapped yet: newest text only.
    EXPECT_EQ(RingReadRanges(50, 50, 100), (R{{8, 42}}));
    EXPECT_EQ(RingReadRanges(50, 50, 10), (R{{40, 10}}));
    // Wrapped: the tail of the older text, then the newest.
    EXPECT_EQ(RingReadRanges(100, 20, 30), (R{{82, 18}, {8, 12}}));
    EXPECT_EQ(RingReadRanges(100, 20, 1000), (R{{20, 80}, {8, 12}}));
    EXPECT_EQ(RingReadRanges(100, 20, 12), (R{{8, 12}}));
    // Just wrapped: position 8 means only older text.
    EXPECT_EQ(RingReadRanges(100, 8, 50), (R{{50, 50}}));
    // No valid position.
    EXPECT_TRUE(RingReadRanges(8, 8, 50).empty());
    EXPECT_TRUE(RingReadRanges(100, 4, 50).empty());
    EXPECT_TRUE(RingReadRanges(100, 101, 50).empty());
}

// Collects what the composer writes; fails on demand.
struct Sink {
    std::vector<std::string> writes;
    uint32_t failWith = 0;
    TraceEntryComposer::Writer Writer() {
        return [this](const std::string& text) {
            if (failWith != 0) return failWith;
            writes.push_back(text);
            return 0u;
        };
    }
};

TEST(TraceComposer, DayChangeLineThenPrefixedEntries) {
    TraceEntryComposer composer("TP");
    Sink sink;
    EXPECT_EQ(composer.Compose("first\r\nsecond", true, false, false, false, kMorning, 0,
                               sink.Writer()),
              0u);
    EXPECT_EQ(composer.Compose("again", true, false, false, false, kMorning, 10, sink.Writer()),
              0u);
    EXPECT_EQ(composer.Compose("tomorrow", true, false, false, false, kNextDay, 20, sink.Writer()),
              0u);
    EXPECT_EQ(sink.writes, (std::vector<std::string>{
                               "TP 2024.03.07 (CURRENT DATE)\r\n",
                               "TP 07-09:05:04.042 first\r\n  second",
                               "TP 07-09:05:04.042 again",
                               "TP 2024.03.08 (CURRENT DATE)\r\n",
                               "TP 08-00:00:01.007 tomorrow",
                           }));
}

TEST(TraceComposer, NoStampNoNameNoPosition) {
    TraceEntryComposer composer;
    Sink sink;
    composer.Compose("plain\r\n", false, false, false, false, kMorning, 0, sink.Writer());
    // At a given position there is neither prefix nor day change.
    TraceEntryComposer named("TP");
    named.Compose("placed", true, true, false, false, kMorning, 0, sink.Writer());
    EXPECT_EQ(sink.writes, (std::vector<std::string>{"plain\r\n", "placed"}));
    EXPECT_EQ(named.LastDate(), "");
}

TEST(TraceComposer, FailedDayChangeIsRetriedAndItsTextLost) {
    TraceEntryComposer composer("TP");
    Sink sink;
    composer.Compose("held", true, false, true, false, kMorning, 0, sink.Writer());
    sink.failWith = 33;
    // The buffered entry went out with the (failed) day-change line.
    EXPECT_EQ(composer.Compose("x", true, false, false, false, kNextDay, 1, sink.Writer()), 33u);
    EXPECT_EQ(composer.Pending(), "");
    EXPECT_EQ(composer.LastDate(), "2024.03.07");
    sink.failWith = 0;
    composer.Compose("y", true, false, false, false, kNextDay, 2, sink.Writer());
    ASSERT_EQ(sink.writes.size(), 3u);
    EXPECT_EQ(sink.writes[1], "TP 2024.03.08 (CURRENT DATE)\r\n");
    EXPECT_EQ(sink.writes[2], "TP 08-00:00:01.007 y");
}

TEST(TraceComposer, BufferedEntriesFlushAfterFiveSeconds) {
    TraceEntryComposer composer;
    Sink sink;
    composer.Compose("a\r\n", false, false, true, false, kMorning, 1000, sink.Writer());
    composer.Compose("b\r\n", false, false, true, false, kMorning, 4999, sink.Writer());
    EXPECT_TRUE(sink.writes.empty());
    EXPECT_EQ(composer.Pending(), "a\r\nb\r\n");
    // 5000 ms after the last flush (tick 0 at start) the whole goes out.
    composer.Compose("c\r\n", false, false, true, false, kMorning, 5000, sink.Writer());
    ASSERT_EQ(sink.writes.size(), 1u);
    EXPECT_EQ(sink.writes[0], "a\r\nb\r\nc\r\n");
    composer.Compose("d\r\n", false, false, true, false, kMorning, 9999, sink.Writer());
    // An unbuffered entry takes the pending text with it.
    composer.Compose("e\r\n", false, false, false, false, kMorning, 9999, sink.Writer());
    EXPECT_EQ(sink.writes.back(), "d\r\ne\r\n");
    // The tick counter's wrap still counts as time passed.
    TraceEntryComposer wrapped;
    wrapped.Compose("f", false, false, false, false, kMorning, 0xFFFFF000u, sink.Writer());
    wrapped.Compose("g", false, false, true, false, kMorning, 0x00001000u, sink.Writer());
    EXPECT_EQ(sink.writes.back(), "g");
}

TEST(TraceComposer, FlushPendingKeepsTextOnFailure) {
    TraceEntryComposer composer;
    Sink sink;
    composer.Compose("a", false, false, true, false, kMorning, 1, sink.Writer());
    sink.failWith = 5;
    EXPECT_EQ(composer.FlushPending(sink.Writer()), 5u);
    EXPECT_EQ(composer.Pending(), "a");
    sink.failWith = 0;
    EXPECT_EQ(composer.FlushPending(sink.Writer()), 0u);
    EXPECT_EQ(composer.Pending(), "");
    EXPECT_EQ(sink.writes, (std::vector<std::string>{"a"}));
}

TEST(TraceComposer, CpuEntriesAreCollectedInPairs) {
    TraceEntryComposer composer("TP");
    Sink sink;
    const auto write = sink.Writer();
    composer.Compose("", true, false, false, false, kMorning, 0, write);  // day change only
    sink.writes.clear();
    composer.Compose("10%", true, false, false, true, kMorning, 0, write);
    EXPECT_TRUE(sink.writes.empty());
    EXPECT_EQ(composer.CpuLine(), "TP 07-09:05:04.042 CPU: 10%");
    composer.Compose("20%", true, false, false, true, kMorning, 0, write);
    composer.Compose("30%", true, false, false, true, kMorning, 0, write);
    // A plain entry takes a half-filled CPU line out in front of it.
    composer.Compose("plain", true, false, false, false, kMorning, 0, write);
    EXPECT_EQ(sink.writes, (std::vector<std::string>{
                               "TP 07-09:05:04.042 CPU: 10% 20%\r\n",
                               "TP 07-09:05:04.042 CPU: 30%\r\nTP 07-09:05:04.042 plain",
                           }));
    EXPECT_EQ(composer.CpuLine(), "");
}

}  // namespace
}  // namespace ca
