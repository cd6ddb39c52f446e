// TraceProtocol: time-stamped trace entries written to an appended protocol
// file and to a ring file of bounded size whose newest part can be read back
// as the current trace. Several processes may share the files: writes hold
// region locks (the ring's 8-byte header, the protocol file's written range).
#pragma once

#include "diag/critical_section.h"
#include "diag/file.h"
#include "diag/trace_format.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ca {

// Region locking of one file.
struct TraceFileSettings {
    bool locking = true;
    uint32_t lockTimeoutMs = 2000;   // how long a held region is waited for
    uint32_t retryIntervalMs = 10;   // pause between attempts
};

struct TraceProtocolSettings {
    std::string name;  // label in front of every entry; may be empty
    TraceFileSettings protocolFile;
    TraceFileSettings ringFile;
    uint64_t maxRingSize = 1024 * 1024;  // bytes, header included
};

class TraceProtocol {
public:
    // Opens the protocol file (appended to) and the ring file, each created
    // when missing; an empty path leaves that file out. Raises FileFailure
    // when a file cannot be opened. The result is attached to no slot.
    static std::unique_ptr<TraceProtocol> Open(const std::string& protocolPath,
                                               const std::string& ringPath,
                                               const TraceProtocolSettings& settings);

    ~TraceProtocol();
    TraceProtocol(const TraceProtocol&) = delete;
    TraceProtocol& operator=(const TraceProtocol&) = delete;

    // Writes one entry: the name and a short stamp in front, continuation
    // lines indented, CPU entries collected in pairs on one line, buffered
    // entries held back up to 5 s. With a position the text goes to that
    // offset of the protocol file only, and the position advances past it.
    // Returns 0 or a Windows error code; 6 when neither file is running.
    uint32_t WriteEntry(std::string_view text, bool stamp = true, uint64_t* position = nullptr,
                        bool buffered = false, bool cpu = false);
    // At most maxBytes of the newest ring text; with banner the text is framed
    // by the CURRENT TRACE lines (or replaced by a line saying why there is
    // none). Returns 0 or a Windows error code.
    uint32_t GetCurrentTrace(uint32_t maxBytes, std::string& out, bool banner);
    // The ring file is present and open.
    bool IsRunning();
    bool IsProtocolFileOpen();
    // Writes the stop line and closes the files; `generated` stops the ring
    // file too, otherwise a present ring file keeps running.
    void StopProtocol(bool generated);
    // The error that made the protocol file close; 0 when none did.
    uint32_t LastError() const { return lastError_; }

private:
    explicit TraceProtocol(const TraceProtocolSettings& settings);

    uint32_t WriteText(const std::string& text, uint64_t* position);
    uint32_t WriteProtocolFile(const std::string& text, uint64_t* position);
    uint32_t RingWrite(const std::string& text);
    uint32_t RingRead(uint64_t maxBytes, std::string& out);
    void DropRing();

    TraceProtocolSettings settings_;
    TraceEntryComposer composer_;
    File protocol_;
    std::unique_ptr<File> ring_;
    uint32_t lastError_ = 0;

    // Lock order: entry lock, then the ring or the protocol-file lock.
    CriticalSection entryLock_;
    CriticalSection ringLock_;
    CriticalSection fileLock_;
};

}  // namespace ca
