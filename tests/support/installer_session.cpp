#include "installer_session.h"

#include "runtime/platform.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace ca::test {

InstallerSession::InstallerSession() : InstallerSession(CA_TEST_PACKAGE) {}

InstallerSession::InstallerSession(const std::string& package) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    const UINT result = MsiOpenPackageA(package.c_str(), &handle_);
    if (result != ERROR_SUCCESS) {
        ADD_FAILURE() << "MsiOpenPackageA(" << package << ") returned " << result;
        handle_ = 0;
    }
}

InstallerSession::~InstallerSession() {
    if (handle_) MsiCloseHandle(handle_);
}

void InstallerSession::Set(const std::string& name, const std::string& value) {
    EXPECT_EQ(MsiSetPropertyA(handle_, name.c_str(), value.c_str()), 0u) << name;
}

std::string InstallerSession::Get(const std::string& name) const {
    DWORD size = 0;
    char probe[1] = {};
    UINT result = MsiGetPropertyA(handle_, name.c_str(), probe, &size);
    if (result != ERROR_MORE_DATA) return std::string();
    std::string value(size + 1, '\0');
    size += 1;
    result = MsiGetPropertyA(handle_, name.c_str(), value.data(), &size);
    EXPECT_EQ(result, 0u) << name;
    value.resize(size);
    return value;
}

InstallerLog::InstallerLog() { Remove(); }

std::string InstallerLog::Path() {
    char folder[MAX_PATH + 1] = {};
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + "kwinst.log";
}

std::string InstallerLog::Content() const {
    std::ifstream in(Path(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> InstallerLog::Records() const {
    static const std::regex stamp(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}  )");
    constexpr size_t kStampLength = 21;  // "2014.03.03 14:05:09" and two blanks
    const std::string content = Content();
    std::vector<std::string> records;
    size_t pos = 0;
    while (pos < content.size()) {
        std::smatch m;
        const std::string rest = content.substr(pos, kStampLength);
        if (!std::regex_match(rest.begin(), rest.end(), stamp)) {
            ADD_FAILURE() << "log record without stamp at offset " << pos;
            break;
        }
        // A record ends at the CR LF that is followed by the next stamp (or the end).
        size_t end = pos + kStampLength;
        for (;;) {
            end = content.find("\r\n", end);
            if (end == std::string::npos) {
                ADD_FAILURE() << "log record without line end at offset " << pos;
                return records;
            }
            const std::string next = content.substr(end + 2, kStampLength);
            if (end + 2 == content.size() ||
                (next.size() == kStampLength && std::regex_match(next.begin(), next.end(), stamp)))
                break;
            end += 2;
        }
        records.push_back(content.substr(pos + kStampLength, end - pos - kStampLength));
        pos = end + 2;
    }
    return records;
}

void InstallerLog::Remove() const { DeleteFileA(Path().c_str()); }

namespace {

std::vector<std::pair<std::string, std::string>> g_writes;
decltype(&::MsiSetPropertyA) g_realSet = nullptr;

UINT WINAPI RecordingSet(MSIHANDLE install, LPCSTR name, LPCSTR value) {
    g_writes.emplace_back(name ? name : "", value ? value : "");
    return g_realSet(install, name, value);
}

}  // namespace

PropertyWrites::PropertyWrites() : saved_(reinterpret_cast<void*>(Os().MsiSetPropertyA)) {
    g_writes.clear();
    g_realSet = Os().MsiSetPropertyA;
    Os().MsiSetPropertyA = &RecordingSet;
}

PropertyWrites::~PropertyWrites() {
    Os().MsiSetPropertyA = reinterpret_cast<decltype(&::MsiSetPropertyA)>(saved_);
}

const std::vector<std::pair<std::string, std::string>>& PropertyWrites::Writes() const {
    return g_writes;
}

std::vector<std::string> PropertyWrites::Names() const {
    std::vector<std::string> names;
    for (const auto& w : g_writes) names.push_back(w.first);
    return names;
}

namespace {

std::vector<InstallerMessages::Message> g_messages;
decltype(&::MsiProcessMessage) g_realProcess = nullptr;

std::string RecordField(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    char probe[1] = {};
    if (MsiRecordGetStringA(record, field, probe, &size) != ERROR_MORE_DATA) return std::string();
    std::string text(size + 1, '\0');
    size += 1;
    MsiRecordGetStringA(record, field, text.data(), &size);
    text.resize(size);
    return text;
}

int WINAPI RecordingProcess(MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record) {
    InstallerMessages::Message message{static_cast<int>(type & 0xFF000000), {}};
    const UINT count = MsiRecordGetFieldCount(record);
    for (UINT field = 0; field <= count && count != static_cast<UINT>(-1); ++field)
        message.fields.push_back(RecordField(record, field));
    g_messages.push_back(std::move(message));
    return g_realProcess(install, type, record);
}

}  // namespace

InstallerMessages::InstallerMessages() : saved_(reinterpret_cast<void*>(Os().MsiProcessMessage)) {
    g_messages.clear();
    g_realProcess = Os().MsiProcessMessage;
    Os().MsiProcessMessage = &RecordingProcess;
}

InstallerMessages::~InstallerMessages() {
    Os().MsiProcessMessage = reinterpret_cast<decltype(&::MsiProcessMessage)>(saved_);
}

const std::vector<InstallerMessages::Message>& InstallerMessages::All() const { return g_messages; }

std::vector<std::string> InstallerMessages::Texts(int type) const {
    std::vector<std::string> texts;
    for (const auto& m : g_messages)
        if (m.type == type && m.fields.size() > 1) texts.push_back(m.fields[1]);
    return texts;
}

void ThrowForeign(DWORD lastError) {
    // The first exception a thread throws sets up the C++ runtime's
    // per-thread exception state, which resets the thread's last error on the
    // way. Throw one first, so that the handler sees the error set here.
    try {
        throw 0;
    } catch (int) {
    }
    SetLastError(lastError);
    throw std::runtime_error("foreign exception");
}

std::string ExecutableFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

}  // namespace ca::test
