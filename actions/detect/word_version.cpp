#include "actions/detect/word_version.h"

#include "runtime/handles.h"
#include "runtime/text.h"

#include <string>

namespace ca {

namespace {

constexpr DWORD kValueBufferSize = 260;

}  // namespace

int ReadWordMajorVersion(ActionError& error) {
    int version = 0;
    UniqueKey key;  // closed on every path
    const BodyOutcome outcome = RunActionBody(error, "MKA9SCM9A4I53PV", [&] {
        const LONG opened = Os().RegOpenKeyExA(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", 0,
                                               KEY_QUERY_VALUE, key.Receive());
        if (opened == ERROR_FILE_NOT_FOUND) ThrowStop();  // no Word registered
        if (opened != ERROR_SUCCESS) {
            error.RecordError("4RXF7LXGXYXDLKZ", opened);
            ThrowFailure();
        }

        char value[kValueBufferSize] = {};
        DWORD size = kValueBufferSize;
        DWORD type = 0;
        const LONG read = Os().RegQueryValueExA(key.Get(), "", nullptr, &type,
                                                reinterpret_cast<BYTE*>(value), &size);
        if (read != ERROR_SUCCESS || type != REG_SZ) {
            error.RecordError("MAAY87R4D76H5W9", read, nullptr,
                              StringPrintf("(%d)(%d)", static_cast<int>(type),
                                           static_cast<int>(kValueBufferSize)));
            ThrowFailure();
        }
        value[kValueBufferSize - 1] = '\0';  // a value stored without terminator

        const std::string text(value);
        const size_t dot = text.rfind('.');
        if (dot == std::string::npos) {
            error.RecordError("W36MAN6789A8WMG", ERROR_INVALID_DATA, nullptr,
                              StringPrintf("(%s)", value));
            ThrowFailure();
        }
        version = AtoiClamped(value + dot + 1);
        // No number, 0, or a negative number: no version a Word registers.
        if (version <= 0) {
            error.RecordError("S8S4L8G3KHVWXX2", ERROR_INVALID_DATA, nullptr,
                              StringPrintf("(%s)", value));
            ThrowFailure();
        }
    });
    switch (outcome) {
    case BodyOutcome::Completed:
        return version;
    case BodyOutcome::Stopped:
        return 0;
    case BodyOutcome::Failed:
        break;
    }
    return -1;
}

}  // namespace ca
