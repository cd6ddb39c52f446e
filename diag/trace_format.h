// The portable half of the trace protocol: time stamps, entry bodies, stop
// lines and banners, the ring file's position rules, and the composer that
// turns WriteEntry calls into the texts written to the files. No Windows API
// here; the protocol supplies the clock and the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ca {

// Local time of an entry, as GetLocalTime gives it.
struct TraceTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, milliseconds = 0;
};

std::string TraceDate(const TraceTime& t);        // "2024.03.07"
std::string TraceFullStamp(const TraceTime& t);   // "2024.03.07-14:05:09.042"
std::string TraceShortStamp(const TraceTime& t);  // "07-14:05:09.042"

// Continuation lines indented by two blanks: every CR LF becomes CR LF and two
// blanks, except a CR LF that ends the text. Texts of up to two characters
// are taken unchanged.
std::string IndentTraceBody(std::string_view text);

// The stop line StopProtocol writes (pending text in front).
std::string TraceStopText(std::string_view pending, const TraceTime& now, std::string_view name,
                          bool generated, bool protocolFileOpen);
// The line left in the ring when a protocol-file write fails with `error`.
std::string TraceErrorStopLine(const TraceTime& now, std::string_view name, uint32_t error);
// The current-trace text with its banner lines.
std::string TraceBannerText(bool running, uint32_t maxBytes, uint32_t result,
                            std::string_view text);

// Ring file: an 8-byte little-endian write position, then circular text.
inline constexpr uint64_t kRingHeaderSize = 8;
// The position a write starts at: the stored one, or 8 when the file holds no
// position (8 bytes or less) or the stored one lies below 8 or beyond the end.
uint64_t RingWriteStart(uint64_t fileSize, uint64_t storedPosition);
// True when a text of `length` bytes written at `position` would reach the
// maximum size: the file is then cut at `position` and the text goes to 8.
bool RingMustWrap(uint64_t position, uint64_t length, uint64_t maxSize);

struct RingRange {
    uint64_t offset;
    uint64_t length;
    bool operator==(const RingRange&) const = default;
};
// The parts of the file that make up its newest `maxBytes` bytes, oldest
// first. Nothing when the file holds no valid position.
std::vector<RingRange> RingReadRanges(uint64_t fileSize, uint64_t storedPosition,
                                      uint64_t maxBytes);

// Per-protocol state of WriteEntry: pending buffered text, the collected CPU
// line, the date of the last day-change line. Not thread-safe: the protocol
// calls it under its entry lock.
class TraceEntryComposer {
public:
    // Writes a text to the protocol's files; 0 or an error code.
    using Writer = std::function<uint32_t(const std::string&)>;

    static constexpr uint32_t kFlushIntervalMs = 5000;

    explicit TraceEntryComposer(std::string name = {}) : name_(std::move(name)) {}

    // One entry: day-change line, prefix, body, CPU collection, buffering.
    // `positioned` is true when the caller writes at a given file position
    // (no prefix, no day change). Returns 0 or the writer's code.
    uint32_t Compose(std::string_view text, bool stamp, bool positioned, bool buffered, bool cpu,
                     const TraceTime& now, uint32_t tickMs, const Writer& write);

    // Writes the pending text; it is kept when the write fails.
    uint32_t FlushPending(const Writer& write);
    // Hands out the pending text and empties it.
    std::string TakePending();

    const std::string& Name() const { return name_; }
    const std::string& Pending() const { return pending_; }
    const std::string& CpuLine() const { return cpuLine_; }
    const std::string& LastDate() const { return lastDate_; }

private:
    std::string name_;
    std::string pending_;
    uint32_t lastFlushTick_ = 0;
    std::string lastDate_;
    std::string cpuLine_;
    int cpuCount_ = 0;
};

}  // namespace ca
