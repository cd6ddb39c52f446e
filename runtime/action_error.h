// The per-call error record of an action, the two signals that leave an
// action body, and the failure report an immediate action publishes.
#pragma once

#include "runtime/platform.h"

#include <cstdint>
#include <string>

namespace ca {

// Thrown after a failure has been recorded in the call's ActionError.
struct FailureSignal {};
// Thrown to leave an action body early without failure.
struct StopSignal {};

[[noreturn]] inline void ThrowFailure() { throw FailureSignal{}; }
[[noreturn]] inline void ThrowStop() { throw StopSignal{}; }

// The operating system's message for a code on one line (its own line
// breaks dropped); empty when the system has none. No call is made for 0.
std::string SystemMessage(int32_t code);

// SystemMessage, or "Unknown error." for 0 or a code without a message.
std::string SystemErrorText(int32_t code);

// Entry `id` of the module's own string table in the thread's code page;
// empty when the table lacks it.
std::string ModuleString(unsigned id);

// Entry `id` of the module's string table used as a printf format.
std::string FormatResourceMessage(unsigned id, ...);

class ActionError {
public:
    // Records a failure site, replacing whatever the record held. An empty
    // text becomes the system's message for the code.
    void RecordError(const char* point, int32_t code, const char* text = nullptr,
                     const char* extra = nullptr);
    void RecordError(const char* point, int32_t code, const char* text, const std::string& extra) {
        RecordError(point, code, text, extra.c_str());
    }
    // point := point + ":" + old chain.
    void PrependPoint(const char* point);
    void AppendExtra(const std::string& extra);
    // Replaces the text; an empty text changes nothing.
    void SetText(const std::string& text);
    // Takes over the failure a lower layer recorded in its own record.
    void AdoptError(const std::string& point, int32_t code, const std::string& text,
                    const std::string& extra);

    std::string CodeLine() const;       // "Code: %d Point: %s %s"
    std::string ShortCodeLine() const;  // "Code: %d Point: %s"
    std::string Text() const { return text_; }

    const std::string& Point() const { return point_; }
    int32_t Code() const { return code_; }
    const std::string& Extra() const { return extra_; }

private:
    std::string point_;
    int32_t code_ = 0;
    std::string text_;
    std::string extra_;
};

enum class CodeForm { Full, Short };

// IS_CA_ERROR := "1", CA_ERROR_TEXT, CA_ERROR_CODE, in that order.
void PublishError(MSIHANDLE install, const ActionError& error, CodeForm form = CodeForm::Full);

enum class BodyOutcome { Completed, Stopped, Failed };

// Runs an action body: the failure signal ends it as failed, the stop signal
// as stopped, and any other exception is recorded under the catch-all point
// with the thread's last error and ends it as failed.
template <typename Body>
BodyOutcome RunActionBody(ActionError& error, const char* catchAllPoint, Body&& body) {
    try {
        body();
        return BodyOutcome::Completed;
    } catch (const FailureSignal&) {
        return BodyOutcome::Failed;
    } catch (const StopSignal&) {
        return BodyOutcome::Stopped;
    } catch (...) {
        const DWORD lastError = Os().GetLastError();
        error.RecordError(catchAllPoint, static_cast<int32_t>(lastError));
        return BodyOutcome::Failed;
    }
}

}  // namespace ca
