// ReadMSWordVer: tells the package the major version of the registered Word,
// "0" when none is registered.
#include "actions/action.h"
#include "actions/detect/word_version.h"
#include "runtime/properties.h"

CA_ACTION ReadMSWordVer(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ReadMSWordVer");
    ActionError error;
    const int version = ReadWordMajorVersion(error);
    if (version < 0) {
        error.PrependPoint("AJSDG5UZYCXI5TT");
        PublishError(install, error);
        return ERROR_SUCCESS;
    }
    SetIntProperty(install, "MSWORD_VER", version);
    return ERROR_SUCCESS;
}
