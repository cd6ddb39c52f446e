// ErrorInfo: the thread-safe record of the last failure of a component that
// works in several steps, and the text functions its users build extended
// texts with. A record can echo what happens to it into the trace protocols
// attached to the module's two trace slots (trace_slots.h).
#pragma once

#include "diag/critical_section.h"
#include "diag/file.h"
#include "diag/text_format.h"

#include <cstdint>
#include <string>

namespace ca {

// The data part of a record: what CopyErrTo hands over.
struct ErrorData {
    std::string point;          // chain of error points, outermost first, ":"-joined
    int32_t code = 0;           // Windows error code; 0 = none
    std::string text;           // human-readable description
    std::string extText;        // diagnostic lines, each ending CR LF
    std::string traceSnapshot;  // tail of the current trace taken at SetErr
    FILETIME time{};            // UTC time of the last SetErr; 0 = never
    std::string auxText;
    int32_t auxValue = 0;
};

class ErrorInfo {
public:
    // A quiet record writes nothing to the trace slots.
    explicit ErrorInfo(bool quiet = false) : quiet_(quiet) {}
    ErrorInfo(const ErrorInfo&) = delete;
    ErrorInfo& operator=(const ErrorInfo&) = delete;

    // Records a failure, replacing everything held before. An empty text
    // with a non-zero code becomes the system's message for the code.
    void SetErr(const char* point, int32_t code, const char* text = nullptr,
                const char* extText = nullptr, int32_t auxValue = 0,
                const char* auxText = nullptr);
    void SetErr(const char* point, int32_t code, const std::string& text,
                const std::string& extText) {
        SetErr(point, code, text.c_str(), extText.c_str());
    }
    // Records a file failure: the code is its system error number, the text
    // the given one plus the failure's description, the extended text the
    // three file-failure lines plus the given one. No failure: nothing.
    void SetErrFileException(const char* point, const FileFailure* failure,
                             const char* text = nullptr, const char* extText = nullptr,
                             int32_t auxValue = 0, const char* auxText = nullptr);
    // point := name + ":" + point, only while an error is recorded.
    void AddErrPoint(const char* name);
    // Appends a line (CR LF added when missing), recorded or not.
    void AddErrTextExt(const char* text);
    void AddErrTextExt(const std::string& text) { AddErrTextExt(text.c_str()); }
    // Replaces the text, only while an error is recorded.
    void SetErrText(const char* text);
    void SetErrText(const std::string& text) { SetErrText(text.c_str()); }

    bool HasErr() const;
    std::string GetErrText() const;
    // True while no error is recorded (and while SetErr runs).
    bool IsClean() const;
    // Copies the data part under this record's lock.
    void CopyErrTo(ErrorData& destination) const;
    // Text, Code, Time, Point and Ext lines; empty without an error point.
    std::string FormatErrDump() const;

private:
    void Echo(const std::string& line) const;

    ErrorData data_;
    bool clean_ = true;
    const bool quiet_;
    mutable CriticalSection lock_;
};

// The module-wide record, constructed when the module is loaded and
// destroyed when it is unloaded.
ErrorInfo& ModuleErrorInfo();

// The system's message for a Windows error code on one line; empty for 0 or
// a code without a message.
std::string OsErrorText(int32_t code);
// The failure's description (at most 516 characters); empty without one.
std::string FileExceptionText(const FileFailure* failure);
// The three file-failure lines, or "STRG: [NULL]\r\n" without a failure.
std::string FormatFileException(const FileFailure* failure);
// Local short date, a blank, local time; empty for an absent or zero time.
std::string FormatFileTime(const FILETIME* time);
// "(GMT+3:00)" for the local time zone's standard offset.
std::string FormatGmtOffset();

// Root-key name and HKEY line of a registry handle (its 32-bit value).
std::string RootKeyName(HKEY key);
std::string FormatRootKeyLine(HKEY key);

}  // namespace ca
