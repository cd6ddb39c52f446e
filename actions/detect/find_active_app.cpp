// FindActiveApp: tells the package whether one of the programs it lists is
// running, looking first for their top-level windows by class, then for their
// named mutexes. Stops at the first hit and names the entry that matched.
#include "actions/action.h"
#include "runtime/handles.h"
#include "runtime/properties.h"
#include "runtime/text.h"

#include <cstring>
#include <string>

namespace {

constexpr DWORD kValueBufferSize = 260;

// A property read directly into a fixed buffer, as the package's list
// entries are read: a value must be shorter than the buffer.
struct DirectRead {
    UINT result;
    DWORD size;        // as the installer returned it
    std::string text;  // the buffer's text
};

DirectRead ReadDirect(MSIHANDLE install, const char* name) {
    char buffer[kValueBufferSize] = {};
    DWORD size = kValueBufferSize;
    const UINT result = ca::Os().MsiGetPropertyA(install, name, buffer, &size);
    // The buffer may be full without a terminator when the value was cut.
    return {result, size, std::string(buffer, strnlen(buffer, sizeof buffer))};
}

void RecordReadFailure(ca::ActionError& error, const char* point, const char* name,
                       const DirectRead& read) {
    error.RecordError(point, static_cast<int32_t>(read.result), nullptr,
                      ca::StringPrintf("(%d)(%s)(%s)", static_cast<int>(read.size), name,
                                       read.text.c_str()));
}

// Reads a count property; an empty value counts 0 entries.
int ReadCount(ca::ActionError& error, MSIHANDLE install, const char* name, const char* point) {
    const DirectRead read = ReadDirect(install, name);
    if (read.result != ERROR_SUCCESS) {
        RecordReadFailure(error, point, name, read);
        ca::ThrowFailure();
    }
    return read.size > 0 ? ca::AtoiClamped(read.text.c_str()) : 0;
}

// Reads entry `index` of a list ("NAMECLASS%d", "MUTEXGLOBAL%d"); it must not
// be empty.
std::string ReadEntry(ca::ActionError& error, MSIHANDLE install, const char* nameFormat, int index,
                      const char* point) {
    const std::string name = ca::StringPrintf(nameFormat, index);
    const DirectRead read = ReadDirect(install, name.c_str());
    if (read.result != ERROR_SUCCESS || read.size == 0) {
        RecordReadFailure(error, point, name.c_str(), read);
        ca::ThrowFailure();
    }
    return read.text;
}

// True when a mutex of that name exists, whoever holds it. A probe of a name
// that does not exist creates the mutex and closes it at once, so none is
// left behind.
bool MutexExists(ca::ActionError& error, const std::string& name) {
    ca::UniqueHandle mutex(ca::Os().CreateMutexA(nullptr, FALSE, name.c_str()));
    const DWORD lastError = ca::Os().GetLastError();
    if (lastError == ERROR_SUCCESS) return false;
    if (mutex) {
        mutex.Reset();
        if (lastError == ERROR_ALREADY_EXISTS) return true;
        error.RecordError("3JRTAADEVCSEAU8", static_cast<int32_t>(lastError), nullptr, name);
        ca::ThrowFailure();
    }
    // No handle: a mutex of another security context still exists.
    if (lastError == ERROR_ACCESS_DENIED) return true;
    error.RecordError("IWGDDMHEV8B7P9K", static_cast<int32_t>(lastError), nullptr, name);
    ca::ThrowFailure();
}

}  // namespace

CA_ACTION FindActiveApp(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "FindActiveApp");
    ActionError error;
    int hit = -1;

    // Window classes first.
    BodyOutcome outcome = RunActionBody(error, "82YPD55VMV6VMWU", [&] {
        const int count = ReadCount(error, install, "NAMECLASS_CNT", "33ADDYZVVJULZ79");
        for (int i = 0; i < count; ++i) {
            const std::string windowClass =
                ReadEntry(error, install, "NAMECLASS%d", i, "TBI8SK3DRC238DC");
            if (Os().FindWindowA(windowClass.c_str(), nullptr) != nullptr) {
                hit = i;
                ThrowStop();
            }
        }
    });
    if (outcome == BodyOutcome::Stopped) {
        Os().MsiSetPropertyA(install, "IS_ACTIVE_APP", "1");
        SetIntProperty(install, "ACTIVE_APP_IND", hit);
        return ERROR_SUCCESS;
    }
    if (outcome == BodyOutcome::Failed) {
        PublishError(install, error);
        return ERROR_SUCCESS;
    }

    // Then the mutexes.
    outcome = RunActionBody(error, "H977CYCWLVBZDF8", [&] {
        const int count = ReadCount(error, install, "MUTEXGLOBAL_CNT", "LDR9F98PJDG6IJH");
        for (int j = 0; j < count; ++j) {
            const std::string mutexName =
                ReadEntry(error, install, "MUTEXGLOBAL%d", j, "2JR82EFERFR9YTP");
            if (MutexExists(error, mutexName)) {
                hit = j;
                ThrowStop();
            }
        }
    });
    switch (outcome) {
    case BodyOutcome::Stopped:
        Os().MsiSetPropertyA(install, "IS_ACTIVE_APP", "1");
        SetIntProperty(install, "ACTIVE_APP_IND", hit + 1000);
        break;
    case BodyOutcome::Completed:
        Os().MsiSetPropertyA(install, "IS_ACTIVE_APP", "0");
        break;
    case BodyOutcome::Failed:
        PublishError(install, error);
        Os().MsiSetPropertyA(install, "IS_ACTIVE_APP", "0");
        break;
    }
    return ERROR_SUCCESS;
}
