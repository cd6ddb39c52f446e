// DelMSWordDot (deferred): removes the Word template from the Word startup
// folders of every user of the machine. Input: the template's file name.
#include "actions/action.h"
#include "actions/word/startup_folders.h"
#include "actions/word/template_file.h"
#include "runtime/properties.h"

#include <string>

CA_ACTION DelMSWordDot(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "DelMSWordDot");
    ActionError error;
    RunActionBody(error, "NRAC8GXP75XSS6O", [&] {
        std::string fileName;
        if (!GetStringProperty(install, "CustomActionData", fileName, error)) {
            error.PrependPoint("LZKA7ZJ8TRB5R6G");
            ThrowFailure();
        }
        if (fileName.empty()) {
            error.RecordError("ZN7IEKYJ7GTL5C2", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        const bool walked = ForEachWordStartupFolder(
            [&](const std::string& folder, const std::string& profileFinal, ActionError& e) {
                return PlaceOrRemoveTemplate(false, std::string(), folder, fileName, profileFinal, e);
            },
            error);
        if (!walked) {
            error.PrependPoint("2IK8HULBS9TL5FH");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;
}
