// CopyMSWordDot (deferred): copies the Word template into the Word startup
// folders of every user of the machine. Input: source folder ";" file name.
#include "actions/action.h"
#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "actions/word/startup_folders.h"
#include "actions/word/template_file.h"
#include "runtime/properties.h"

#include <string>

CA_ACTION CopyMSWordDot(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CopyMSWordDot");
    ActionError error;
    RunActionBody(error, "KRV7UJTAPC4JKLL", [&] {
        std::string data;
        if (!GetStringProperty(install, "CustomActionData", data, error)) {
            error.PrependPoint("Z8GBKV74EY5NJSZ");
            ThrowFailure();
        }
        // Everything after the first ";", further ";" included, is the file name.
        const size_t separator = FindChar(data, ';', 0, IsAnsiLeadByte);
        if (separator == std::string::npos) {
            error.RecordError("IIBWX626YLU8GZ3", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        const std::string sourceFolder = data.substr(0, separator);
        const std::string fileName = data.substr(separator + 1);
        if (sourceFolder.empty()) {
            error.RecordError("JYV46EXXPKPHBT2", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        if (fileName.empty()) {
            error.RecordError("2XS6TZAEJ6UPS9D", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        const bool walked = ForEachWordStartupFolder(
            [&](const std::string& folder, const std::string& profileFinal, ActionError& e) {
                return PlaceOrRemoveTemplate(true, sourceFolder, folder, fileName, profileFinal, e);
            },
            error);
        if (!walked) {
            error.PrependPoint("JZV8RT3PY3NKZNI");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;
}
