#include "diag/trace_format.h"

#include "runtime/text.h"

#include <algorithm>

namespace ca {

std::string TraceDate(const TraceTime& t) {
    return StringPrintf("%04d.%02d.%02d", t.year, t.month, t.day);
}

std::string TraceFullStamp(const TraceTime& t) {
    const std::string date = StringPrintf("%04d.%02d.%02d-", t.year, t.month, t.day);
    return StringPrintf("%s%02d:%02d:%02d.%03d", date.c_str(), t.hour, t.minute, t.second,
                        t.milliseconds);
}

std::string TraceShortStamp(const TraceTime& t) {
    const std::string day = StringPrintf("%02d-", t.day);
    return StringPrintf("%s%02d:%02d:%02d.%03d", day.c_str(), t.hour, t.minute, t.second,
                        t.milliseconds);
}

std::string IndentTraceBody(std::string_view text) {
    if (text.size() <= 2) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    size_t start = 0;
    for (;;) {
        const size_t lineEnd = text.find("\r\n", start);
        if (lineEnd == std::string_view::npos) {
            out.append(text.substr(start));
            break;
        }
        out.append(text.substr(start, lineEnd + 2 - start));
        start = lineEnd + 2;
        if (start == text.size()) break;  // the final line end keeps no blanks
        out += "  ";
    }
    return out;
}

std::string TraceStopText(std::string_view pending, const TraceTime& now, std::string_view name,
                          bool generated, bool protocolFileOpen) {
    std::string out(pending);
    if (!generated) out += "\r\n";
    out += "STOP PROTOCOL ";
    out += TraceFullStamp(now);
    if (!name.empty()) {
        out += ' ';
        out.append(name);
    }
    if (!generated)
        out += " (real)";
    else if (protocolFileOpen)
        out += " (gen)";
    else
        out += " (hide)";
    out += "\r\n";
    if (generated) {
        out.append(60, '=');
        out += "\r\n";
    }
    return out;
}

std::string TraceErrorStopLine(const TraceTime& now, std::string_view name, uint32_t error) {
    std::string out = "\r\nSTOP PROTOCOL ";
    out += TraceFullStamp(now);
    if (!name.empty()) {
        out += ' ';
        out.append(name);
    }
    out += StringPrintf(" (real)(error=%d (0x%X)) \r\n", static_cast<int>(error), error);
    return out;
}

std::string TraceBannerText(bool running, uint32_t maxBytes, uint32_t result,
                            std::string_view text) {
    if (!running) return "CURRENT TRACE is not running.\r\n";
    if (maxBytes == 0) return "CURRENT TRACE is OFF.\r\n";
    if (result != 0 || text.empty())
        return StringPrintf("CURRENT TRACE has error: %d.\r\n", static_cast<int>(result));
    std::string out = "CURRENT TRACE>>\r\n";
    out.append(text);
    out += "CURRENT TRACE<<\r\n";
    return out;
}

uint64_t RingWriteStart(uint64_t fileSize, uint64_t storedPosition) {
    if (fileSize <= kRingHeaderSize) return kRingHeaderSize;
    if (storedPosition < kRingHeaderSize || storedPosition > fileSize) return kRingHeaderSize;
    return storedPosition;
}

bool RingMustWrap(uint64_t position, uint64_t length, uint64_t maxSize) {
    // Written so that huge lengths cannot overflow the sum.
    return position >= maxSize || length >= maxSize - position;
}

std::vector<RingRange> RingReadRanges(uint64_t fileSize, uint64_t storedPosition,
                                      uint64_t maxBytes) {
    std::vector<RingRange> ranges;
    if (fileSize <= kRingHeaderSize || storedPosition < kRingHeaderSize ||
        storedPosition > fileSize || maxBytes == 0)
        return ranges;
    const uint64_t newest = storedPosition - kRingHeaderSize;
    if (newest < maxBytes) {
        const uint64_t older = fileSize - storedPosition;
        const uint64_t wanted = std::min(maxBytes - newest, older);
        if (wanted > 0) ranges.push_back({fileSize - wanted, wanted});
        if (newest > 0) ranges.push_back({kRingHeaderSize, newest});
    } else {
        ranges.push_back({storedPosition - maxBytes, maxBytes});
    }
    return ranges;
}

uint32_t TraceEntryComposer::Compose(std::string_view text, bool stamp, bool positioned,
                                     bool buffered, bool cpu, const TraceTime& now,
                                     uint32_t tickMs, const Writer& write) {
    std::string prefix;
    if (!positioned) {
        if (!name_.empty()) prefix += name_ + ' ';
        if (stamp) prefix += TraceShortStamp(now) + ' ';
    }

    if (!positioned && stamp) {
        const std::string today = TraceDate(now);
        if (today != lastDate_) {
            std::string line = std::move(pending_);
            pending_.clear();
            if (!cpuLine_.empty()) line += cpuLine_ + "\r\n";
            cpuLine_.clear();
            cpuCount_ = 0;
            if (!name_.empty()) line += name_ + ' ';
            line += today + " (CURRENT DATE)\r\n";
            lastFlushTick_ = tickMs;
            const uint32_t result = write(line);
            if (result != 0) return result;
            lastDate_ = today;
        }
    }

    std::string body = IndentTraceBody(text);
    std::string lead;
    if (cpu) {
        cpuLine_ += cpuCount_ == 0 ? prefix + "CPU: " : std::string(" ");
        cpuLine_ += body;
        body.clear();
        ++cpuCount_;
    }
    if (!cpu || cpuCount_ > 1) {
        if (!cpuLine_.empty()) lead = cpuLine_ + "\r\n";
        cpuLine_.clear();
        cpuCount_ = 0;
    }

    if (body.empty() && lead.empty()) return 0;
    std::string entry = std::move(lead);
    if (!cpu) entry += prefix;
    entry += body;
    // Unsigned difference: correct across the tick counter's wrap.
    if (!buffered || tickMs - lastFlushTick_ >= kFlushIntervalMs) {
        std::string whole = std::move(pending_);
        pending_.clear();
        whole += entry;
        lastFlushTick_ = tickMs;
        return write(whole);
    }
    pending_ += entry;
    return 0;
}

uint32_t TraceEntryComposer::FlushPending(const Writer& write) {
    if (pending_.empty()) return 0;
    const uint32_t result = write(pending_);
    if (result == 0) pending_.clear();
    return result;
}

std::string TraceEntryComposer::TakePending() {
    std::string out = std::move(pending_);
    pending_.clear();
    return out;
}

}  // namespace ca
