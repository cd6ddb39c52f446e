#include "diag/error_info.h"

#include "diag/trace_protocol.h"
#include "diag/trace_slots.h"
#include "runtime/action_error.h"

namespace ca {

namespace {

// String resource that stands in for a missing message text.
constexpr unsigned kFallbackMessageId = 64767;
constexpr size_t kMaxDescriptionLength = 516;
constexpr uint32_t kSnapshotBytes = 0xFFFF;

std::string OrEmpty(const char* text) { return text ? std::string(text) : std::string(); }

}  // namespace

std::string OsErrorText(int32_t code) {
    if (code == 0) return std::string();
    std::string result = SystemMessage(code);
    if (result.empty()) result = ModuleString(kFallbackMessageId);
    return result;
}

std::string FileExceptionText(const FileFailure* failure) {
    if (failure == nullptr) return std::string();
    std::string text = failure->Description();
    if (text.size() > kMaxDescriptionLength) text.resize(kMaxDescriptionLength);
    if (text.empty()) text = ModuleString(kFallbackMessageId);
    return text;
}

std::string FormatFileException(const FileFailure* failure) {
    if (failure == nullptr) return FormatStrgLine("NULL");
    return FormatFileExceptionLines(failure->Cause(), FileExceptionText(failure),
                                    failure->OsError(), OsErrorText(failure->OsError()),
                                    failure->FileName());
}

std::string FormatFileTime(const FILETIME* time) {
    if (time == nullptr || (time->dwLowDateTime == 0 && time->dwHighDateTime == 0))
        return std::string();
    FILETIME local{};
    SYSTEMTIME st{};
    if (!Os().FileTimeToLocalFileTime(time, &local) || !Os().FileTimeToSystemTime(&local, &st))
        return std::string();
    char date[255] = {};
    char clock[255] = {};
    if (Os().GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date,
                            sizeof date) == 0)
        date[0] = '\0';
    if (Os().GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, clock, sizeof clock) == 0)
        clock[0] = '\0';
    std::string out = date;
    if (date[0] != '\0' && clock[0] != '\0') out += ' ';
    out += clock;
    return out;
}

std::string FormatGmtOffset() {
    TIME_ZONE_INFORMATION zone{};
    const DWORD result = Os().GetTimeZoneInformation(&zone);
    return FormatGmtOffset(zone.Bias, result == TIME_ZONE_ID_INVALID);
}

std::string RootKeyName(HKEY key) {
    return RootKeyName(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)));
}

std::string FormatRootKeyLine(HKEY key) {
    return FormatRootKeyLine(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)));
}

void ErrorInfo::Echo(const std::string& line) const {
    if (!quiet_) WriteToTraceSlots("ERRORINFO>> " + line);
}

void ErrorInfo::SetErr(const char* point, int32_t code, const char* text, const char* extText,
                       int32_t auxValue, const char* auxText) {
    std::string newText = OrEmpty(text);
    if (newText.empty() && code != 0) newText = OsErrorText(code);

    SectionGuard guard(lock_);
    clean_ = true;
    data_.point = OrEmpty(point);
    data_.code = code;
    data_.text = std::move(newText);
    data_.extText = OrEmpty(extText);
    data_.auxValue = auxValue;
    data_.auxText = OrEmpty(auxText);
    Os().GetSystemTimeAsFileTime(&data_.time);
    data_.traceSnapshot.clear();
    if (TraceProtocol* protocol = AttachedTraceProtocol(1))
        protocol->GetCurrentTrace(kSnapshotBytes, data_.traceSnapshot, true);
    if (!quiet_) WriteToTraceSlots("ERRORINFO>>\r\n" + FormatErrDump());
    clean_ = false;
}

void ErrorInfo::SetErrFileException(const char* point, const FileFailure* failure,
                                    const char* text, const char* extText, int32_t auxValue,
                                    const char* auxText) {
    if (failure == nullptr) return;
    const std::string newExtText = FormatFileException(failure) + OrEmpty(extText);
    std::string newText = OrEmpty(text);
    if (!newText.empty()) newText += "\r\n";
    newText += FileExceptionText(failure);
    SetErr(point, failure->OsError(), newText.c_str(), newExtText.c_str(), auxValue, auxText);
}

void ErrorInfo::AddErrPoint(const char* name) {
    if (name == nullptr || *name == '\0') return;
    Echo("AddErrPoint(" + std::string(name) + ")\r\n");
    SectionGuard guard(lock_);
    if (!clean_) data_.point = std::string(name) + ":" + data_.point;
}

void ErrorInfo::AddErrTextExt(const char* text) {
    if (text == nullptr || *text == '\0') return;
    const std::string line = WithLineEnd(text);
    Echo("AddErrTextExt:\r\n" + line);
    SectionGuard guard(lock_);
    data_.extText += line;
}

void ErrorInfo::SetErrText(const char* text) {
    if (text == nullptr || *text == '\0') return;
    Echo("SetErrText(" + std::string(text) + ")\r\n");
    SectionGuard guard(lock_);
    if (!clean_) data_.text = text;
}

bool ErrorInfo::HasErr() const {
    SectionGuard guard(lock_);
    return !data_.point.empty();
}

std::string ErrorInfo::GetErrText() const {
    SectionGuard guard(lock_);
    return data_.text;
}

bool ErrorInfo::IsClean() const {
    SectionGuard guard(lock_);
    return clean_;
}

void ErrorInfo::CopyErrTo(ErrorData& destination) const {
    SectionGuard guard(lock_);
    destination = data_;
}

std::string ErrorInfo::FormatErrDump() const {
    SectionGuard guard(lock_);
    if (data_.point.empty()) return std::string();
    return FormatErrDumpLayout(data_.point, data_.code, data_.text, data_.extText,
                               FormatFileTime(&data_.time), FormatGmtOffset());
}

}  // namespace ca
