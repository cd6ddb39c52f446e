#include "runtime/action_error.h"

#include "runtime/action_scope.h"
#include "runtime/log.h"
#include "runtime/text.h"

#include <cstdarg>

namespace ca {

namespace {

// One record of the call's failure trace: appended to kwinst.log, and sent to
// the installer's own log when it belongs to an action call.
void Trace(const std::string& text) {
    WriteLogLine(text);
    SendInfoMessage(text);
}

}  // namespace

std::string SystemMessage(int32_t code) {
    std::string result;
    if (code == 0) return result;
    char* buffer = nullptr;
    const DWORD length = Os().FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (buffer != nullptr) {
        result.assign(buffer, length);
        Os().LocalFree(buffer);
    }
    return result;
}

std::string SystemErrorText(int32_t code) {
    std::string result = SystemMessage(code);
    if (result.empty()) result = "Unknown error.";
    return result;
}

std::string ModuleString(unsigned id) {
    // With a zero buffer size LoadStringW hands out a pointer to the resource
    // itself, which is not NUL-terminated.
    const wchar_t* resource = nullptr;
    const int wideLength = Os().LoadStringW(ThisModule(), id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (wideLength <= 0 || resource == nullptr) return std::string();
    const int length = Os().WideCharToMultiByte(CP_THREAD_ACP, 0, resource, wideLength, nullptr, 0,
                                                nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    Os().WideCharToMultiByte(CP_THREAD_ACP, 0, resource, wideLength, out.data(), length, nullptr,
                             nullptr);
    return out;
}

std::string FormatResourceMessage(unsigned id, ...) {
    const std::string format = ModuleString(id);
    if (format.empty()) return std::string();
    va_list args;
    va_start(args, id);
    std::string out = StringPrintfV(format.c_str(), args);
    va_end(args);
    return out;
}

void ActionError::RecordError(const char* point, int32_t code, const char* text,
                              const char* extra) {
    std::string newText = text ? text : "";
    if (newText.empty()) newText = SystemErrorText(code);
    point_ = point ? point : "";
    code_ = code;
    text_ = std::move(newText);
    extra_ = extra ? extra : "";
    Trace(CodeLine());
}

void ActionError::PrependPoint(const char* point) {
    point_ = std::string(point ? point : "") + ":" + point_;
    Trace(point_);
}

void ActionError::AppendExtra(const std::string& extra) {
    extra_ += extra;
    Trace(extra_);
}

void ActionError::SetText(const std::string& text) {
    if (text.empty()) return;
    text_ = text;
    Trace(text_);
}

void ActionError::AdoptError(const std::string& point, int32_t code, const std::string& text,
                             const std::string& extra) {
    point_ = point;
    code_ = code;
    text_ = text;
    extra_ = extra;
    Trace(StringPrintf("Code: %d Point: %s [%s][%s]", static_cast<int>(code_), point_.c_str(),
                       text_.c_str(), extra_.c_str()));
}

std::string ActionError::CodeLine() const {
    return StringPrintf("Code: %d Point: %s %s", static_cast<int>(code_), point_.c_str(),
                        extra_.c_str());
}

std::string ActionError::ShortCodeLine() const {
    return StringPrintf("Code: %d Point: %s", static_cast<int>(code_), point_.c_str());
}

void PublishError(MSIHANDLE install, const ActionError& error, CodeForm form) {
    Os().MsiSetPropertyA(install, "IS_CA_ERROR", "1");
    Os().MsiSetPropertyA(install, "CA_ERROR_TEXT", error.Text().c_str());
    const std::string code = form == CodeForm::Full ? error.CodeLine() : error.ShortCodeLine();
    Os().MsiSetPropertyA(install, "CA_ERROR_CODE", code.c_str());
}

}  // namespace ca
