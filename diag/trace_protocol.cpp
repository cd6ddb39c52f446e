#include "diag/trace_protocol.h"

#include "diag/trace_slots.h"

#include <algorithm>

namespace ca {

namespace {

// Extra bytes locked past an appended text, so that two appenders always
// compete for overlapping regions.
constexpr uint64_t kAppendLockSlack = 5;
constexpr uint32_t kReadChunk = 0xFFFF;

TraceTime LocalNow() {
    SYSTEMTIME st{};
    Os().GetLocalTime(&st);
    return TraceTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                     st.wMilliseconds};
}

void CloseQuietly(File& file) {
    if (!file.IsOpen()) return;
    try {
        file.Close();
    } catch (const FileFailure&) {
        // Closing is the last thing done with the file; nothing to report to.
    }
}

// Releases a locked region when the write is over, on every path.
class HeldRegion {
public:
    HeldRegion() = default;
    ~HeldRegion() { Release(); }
    HeldRegion(const HeldRegion&) = delete;
    HeldRegion& operator=(const HeldRegion&) = delete;

    void Hold(File& file, uint64_t offset, uint64_t length) {
        file_ = &file;
        offset_ = offset;
        length_ = length;
    }
    void Release() {
        if (file_ != nullptr) file_->Unlock(offset_, length_);
        file_ = nullptr;
    }

private:
    File* file_ = nullptr;
    uint64_t offset_ = 0;
    uint64_t length_ = 0;
};

enum class LockResult { Held, Unlocked, TimedOut, Failed };

// One try of the lock: a held region is retried every interval until the
// timeout has passed; a system without region locks switches locking off.
LockResult TryRegion(File& file, TraceFileSettings& settings, uint64_t offset, uint64_t length,
                     uint32_t& error) {
    if (!settings.locking || length == 0) return LockResult::Unlocked;
    const uint32_t result = file.TryLock(offset, length);
    if (result == 0) return LockResult::Held;
    if (result == ERROR_CALL_NOT_IMPLEMENTED) {
        settings.locking = false;
        return LockResult::Unlocked;
    }
    if (result == ERROR_LOCK_VIOLATION) return LockResult::TimedOut;  // caller decides to wait
    error = result;
    return LockResult::Failed;
}

bool TimeIsUp(DWORD start, const TraceFileSettings& settings) {
    return Os().GetTickCount() - start >= settings.lockTimeoutMs;
}

// Waits for a fixed region (the ring header).
LockResult LockFixedRegion(File& file, TraceFileSettings& settings, uint64_t offset,
                           uint64_t length, uint32_t& error) {
    const DWORD start = Os().GetTickCount();
    for (;;) {
        const LockResult result = TryRegion(file, settings, offset, length, error);
        if (result != LockResult::TimedOut) return result;
        if (TimeIsUp(start, settings)) return LockResult::TimedOut;
        Os().Sleep(settings.retryIntervalMs);
    }
}

uint64_t ReadRingPosition(File& ring, uint64_t fileSize) {
    if (fileSize <= kRingHeaderSize) return 0;
    unsigned char header[kRingHeaderSize] = {};
    ring.Seek(0);
    if (ring.Read(header, sizeof header) != sizeof header) return 0;
    uint64_t position = 0;
    for (int i = 7; i >= 0; --i) position = (position << 8) | header[i];
    return position;
}

void WriteRingPosition(File& ring, uint64_t position) {
    unsigned char header[kRingHeaderSize];
    for (unsigned i = 0; i < kRingHeaderSize; ++i) header[i] = static_cast<unsigned char>(position >> (8 * i));
    ring.Seek(0);
    ring.Write(header, sizeof header);
}

// Takes the lock on the ring's 8-byte position header into `held`. False
// when the caller is to give up: `error` is then the lock error, or 0 after a
// timeout (the ring gives up silently).
bool LockRingHeader(File& ring, TraceFileSettings& settings, HeldRegion& held, uint32_t& error) {
    switch (LockFixedRegion(ring, settings, 0, kRingHeaderSize, error)) {
        case LockResult::Failed: return false;
        case LockResult::TimedOut: error = 0; return false;
        case LockResult::Held: held.Hold(ring, 0, kRingHeaderSize); return true;
        case LockResult::Unlocked: return true;
    }
    return true;
}

}  // namespace

std::unique_ptr<TraceProtocol> TraceProtocol::Open(const std::string& protocolPath,
                                                   const std::string& ringPath,
                                                   const TraceProtocolSettings& settings) {
    std::unique_ptr<TraceProtocol> protocol(new TraceProtocol(settings));
    if (!protocolPath.empty()) protocol->protocol_ = File::OpenShared(protocolPath);
    if (!ringPath.empty()) protocol->ring_ = std::make_unique<File>(File::OpenShared(ringPath));
    return protocol;
}

TraceProtocol::TraceProtocol(const TraceProtocolSettings& settings)
    : settings_(settings), composer_(settings.name) {}

TraceProtocol::~TraceProtocol() { DetachTraceProtocol(this); }

bool TraceProtocol::IsRunning() {
    SectionGuard guard(ringLock_);
    return ring_ && ring_->IsOpen();
}

bool TraceProtocol::IsProtocolFileOpen() {
    SectionGuard guard(fileLock_);
    return protocol_.IsOpen();
}

uint32_t TraceProtocol::WriteEntry(std::string_view text, bool stamp, uint64_t* position,
                                   bool buffered, bool cpu) {
    SectionGuard guard(entryLock_);
    if (!IsProtocolFileOpen() && !IsRunning()) return ERROR_INVALID_HANDLE;
    return composer_.Compose(text, stamp, position != nullptr, buffered, cpu, LocalNow(),
                             Os().GetTickCount(),
                             [&](const std::string& whole) { return WriteText(whole, position); });
}

uint32_t TraceProtocol::WriteText(const std::string& text, uint64_t* position) {
    uint32_t fileError = 0;
    {
        SectionGuard guard(fileLock_);
        if (protocol_.IsOpen()) {
            fileError = WriteProtocolFile(text, position);
            if (fileError != 0) CloseQuietly(protocol_);
        }
    }
    if (fileError != 0) {
        lastError_ = fileError;
        {
            SectionGuard guard(ringLock_);
            if (ring_) RingWrite(TraceErrorStopLine(LocalNow(), settings_.name, fileError));
        }
        StopProtocol(false);
    }

    bool ringLeft = false;
    {
        SectionGuard guard(ringLock_);
        if (ring_ && position == nullptr && RingWrite(text) != 0) DropRing();
        ringLeft = ring_ != nullptr;
    }
    if (!ringLeft && !IsProtocolFileOpen()) StopProtocol(true);
    return ringLeft ? 0 : fileError;
}

uint32_t TraceProtocol::WriteProtocolFile(const std::string& text, uint64_t* position) {
    TraceFileSettings& settings = settings_.protocolFile;
    const uint64_t length = text.size();
    try {
        HeldRegion held;
        uint64_t at = 0;
        const DWORD start = Os().GetTickCount();
        for (;;) {
            at = position ? *position : protocol_.Length();
            const uint64_t lockLength = position ? length : length + kAppendLockSlack;
            uint32_t error = 0;
            const LockResult result = TryRegion(protocol_, settings, at, lockLength, error);
            if (result == LockResult::Failed) return error;
            if (result == LockResult::Unlocked) break;
            if (result == LockResult::Held) {
                held.Hold(protocol_, at, lockLength);
                // Another process may have appended between measuring the end
                // and taking the lock: then the region is stale, try again.
                if (position != nullptr || protocol_.Length() == at) break;
                held.Release();
            }
            if (TimeIsUp(start, settings)) {
                // Waited long enough: write without the lock.
                if (position == nullptr) at = protocol_.Length();
                break;
            }
            if (result != LockResult::Held) Os().Sleep(settings.retryIntervalMs);
        }
        protocol_.Seek(static_cast<int64_t>(at));
        protocol_.Write(text.data(), static_cast<uint32_t>(length));
        protocol_.Flush();
        if (position != nullptr) *position = at + length;
        return 0;
    } catch (const FileFailure& failure) {
        return static_cast<uint32_t>(failure.OsError());
    }
}

uint32_t TraceProtocol::RingWrite(const std::string& text) {
    File& ring = *ring_;
    try {
        HeldRegion held;
        uint32_t error = 0;
        if (!LockRingHeader(ring, settings_.ringFile, held, error)) return error;  // 0: text dropped
        const uint64_t size = ring.Length();
        uint64_t position = RingWriteStart(size, ReadRingPosition(ring, size));
        if (RingMustWrap(position, text.size(), settings_.maxRingSize)) {
            ring.SetLength(position);
            position = kRingHeaderSize;
        }
        ring.Seek(static_cast<int64_t>(position));
        ring.Write(text.data(), static_cast<uint32_t>(text.size()));
        WriteRingPosition(ring, position + text.size());
        ring.Flush();
        return 0;
    } catch (const FileFailure& failure) {
        return static_cast<uint32_t>(failure.OsError());
    }
}

uint32_t TraceProtocol::RingRead(uint64_t maxBytes, std::string& out) {
    File& ring = *ring_;
    try {
        HeldRegion held;
        uint32_t error = 0;
        if (!LockRingHeader(ring, settings_.ringFile, held, error)) return error;  // 0: nothing read
        const uint64_t size = ring.Length();
        for (const RingRange& range : RingReadRanges(size, ReadRingPosition(ring, size), maxBytes)) {
            ring.Seek(static_cast<int64_t>(range.offset));
            for (uint64_t done = 0; done < range.length;) {
                const uint32_t chunk =
                    static_cast<uint32_t>(std::min<uint64_t>(range.length - done, kReadChunk));
                const size_t at = out.size();
                out.resize(at + chunk);
                const uint32_t got = ring.Read(out.data() + at, chunk);
                out.resize(at + got);
                if (got == 0) break;  // the file was cut meanwhile
                done += got;
            }
        }
        return 0;
    } catch (const FileFailure& failure) {
        return static_cast<uint32_t>(failure.OsError());
    }
}

uint32_t TraceProtocol::GetCurrentTrace(uint32_t maxBytes, std::string& out, bool banner) {
    out.clear();
    {
        SectionGuard guard(entryLock_);
        composer_.FlushPending([&](const std::string& text) { return WriteText(text, nullptr); });
    }
    std::string text;
    uint32_t result = 0;
    bool running = false;
    {
        SectionGuard guard(ringLock_);
        if (maxBytes != 0) result = ring_ ? RingRead(maxBytes, text) : ERROR_INVALID_HANDLE;
        running = ring_ && ring_->IsOpen();
    }
    out = banner ? TraceBannerText(running, maxBytes, result, text) : std::move(text);
    return result;
}

void TraceProtocol::DropRing() {
    SectionGuard guard(ringLock_);
    if (!ring_) return;
    CloseQuietly(*ring_);
    ring_.reset();
}

void TraceProtocol::StopProtocol(bool generated) {
    SectionGuard guard(entryLock_);
    const bool protocolOpen = IsProtocolFileOpen();
    bool ringPresent = false;
    {
        SectionGuard ringGuard(ringLock_);
        ringPresent = ring_ != nullptr;
    }
    if (protocolOpen || (ringPresent && generated)) {
        WriteText(TraceStopText(composer_.TakePending(), LocalNow(), settings_.name, generated,
                                protocolOpen),
                  nullptr);
    }
    {
        SectionGuard fileGuard(fileLock_);
        CloseQuietly(protocol_);
    }
    if (generated) DropRing();
    // This module starts no timers for a protocol, so there are none to kill.
}

}  // namespace ca
