#include "runtime/log.h"

#include "runtime/handles.h"
#include "runtime/text.h"

namespace ca {

std::string LogFilePath() {
    char folder[520] = {};
    const DWORD length = Os().GetTempPathA(sizeof folder, folder);
    folder[sizeof folder - 1] = '\0';
    if (length == 0 || length >= sizeof folder) return std::string();
    return std::string(folder) + "kwinst.log";
}

void WriteLogLine(const std::string& text) {
    try {
        const std::string path = LogFilePath();
        if (path.empty()) return;
        UniqueFile file(Os().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        SYSTEMTIME now{};
        Os().GetLocalTime(&now);
        const std::string record = FormatLogRecord(
            {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, text);
        LARGE_INTEGER end{};
        if (!Os().SetFilePointerEx(file.Get(), LARGE_INTEGER{}, &end, FILE_END)) return;
        DWORD written = 0;
        Os().WriteFile(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written,
                       nullptr);
    } catch (...) {
        // Logging never brings an action down.
    }
}

}  // namespace ca
