#include "runtime/properties.h"

#include "runtime/text.h"

#include <memory>

namespace ca {

namespace {

struct FreeBuffer {
    void operator()(char* p) const { Os().free(p); }
};

}  // namespace

bool GetStringProperty(MSIHANDLE install, const char* name, std::string& value, ActionError& error) {
    try {
        DWORD size = 0;
        char empty[1] = {};
        UINT result = Os().MsiGetPropertyA(install, name, empty, &size);
        std::unique_ptr<char, FreeBuffer> buffer;
        if (result == ERROR_MORE_DATA) {
            size += 1;
            buffer.reset(static_cast<char*>(Os().malloc(size)));
            if (!buffer) {
                result = ERROR_MORE_DATA;
            } else {
                buffer.get()[0] = '\0';
                result = Os().MsiGetPropertyA(install, name, buffer.get(), &size);
            }
        }
        if (result == ERROR_SUCCESS) {
            value = buffer ? std::string(buffer.get()) : std::string();
            return true;
        }
        const std::string extra = StringPrintf("(%d)(%s)(%s)", static_cast<int>(size), name,
                                               buffer ? buffer.get() : "(null)");
        error.RecordError("A4LRP85LV7J52YM", static_cast<int32_t>(result), nullptr, extra);
        ThrowFailure();
    } catch (const FailureSignal&) {
        return false;
    }
}

bool GetIntProperty(MSIHANDLE install, const char* name, int32_t* value, ActionError& error,
                    int* isEmpty) {
    std::string text;
    if (!GetStringProperty(install, name, text, error)) {
        error.PrependPoint("UA2ZR7G6343BL2A");
        return false;
    }
    if (text.empty()) {
        if (value) *value = 0;
        if (isEmpty) *isEmpty = 1;
    } else if (value) {
        *value = ParseLeadingInteger(text);
    }
    return true;
}

void SetIntProperty(MSIHANDLE install, const char* name, int32_t value) {
    Os().MsiSetPropertyA(install, name, DecimalText(value).c_str());
}

}  // namespace ca
