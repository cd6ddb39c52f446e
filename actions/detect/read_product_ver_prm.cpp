// ReadProductVerPrm: carries the settings and version of an earlier
// installation, found by the package, into the properties the rest of the
// package uses. Ends quietly when there is no usable earlier installation.
#include "actions/action.h"
#include "runtime/properties.h"

namespace {

struct OldInstallation {
    int32_t commonReg = 0, commonSet = 0, setAccess = 0, major = 0, minor = 0, build = 0;
};

}  // namespace

CA_ACTION ReadProductVerPrm(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "ReadProductVerPrm");
    ActionError error;
    OldInstallation old;
    const BodyOutcome outcome = RunActionBody(error, "MMZCH3X3YNRFBED", [&] {
        const struct {
            const char* name;
            int32_t* value;
        } required[] = {
            {"OLD_COMMONREG_READ", &old.commonReg}, {"OLD_COMMONSET_READ", &old.commonSet},
            {"OLD_SETACCESS_READ", &old.setAccess}, {"OLD_MAJORVER_READ", &old.major},
            {"OLD_MINORVER_READ", &old.minor},
        };
        for (const auto& input : required) {
            int empty = 0;
            if (!GetIntProperty(install, input.name, input.value, error, &empty)) {
                error.PrependPoint("WE8A6THXGYTSTEY");
                ThrowFailure();
            }
            if (empty) ThrowStop();  // no usable earlier installation
        }
        if (!GetIntProperty(install, "OLD_NUMBBUILD_READ", &old.build, error)) {
            error.PrependPoint("BY7FFLZK9FYNY58");
            ThrowFailure();
        }
    });

    switch (outcome) {
    case BodyOutcome::Completed: {
        // Wrapping arithmetic, as the package's 32-bit integers would.
        const int32_t fullVersion = static_cast<int32_t>(
            static_cast<uint32_t>(old.major) * 100u + static_cast<uint32_t>(old.minor));
        SetIntProperty(install, "REG_COMMONREG", old.commonReg);
        SetIntProperty(install, "REG_COMMONSET", old.commonSet);
        SetIntProperty(install, "REG_SETACCESS", old.setAccess);
        SetIntProperty(install, "OLD_COMMONREG", old.commonReg);
        SetIntProperty(install, "OLD_COMMONSET", old.commonSet);
        SetIntProperty(install, "OLD_SETACCESS", old.setAccess);
        SetIntProperty(install, "OLD_MAJORVER", old.major);
        SetIntProperty(install, "OLD_MINORVER", old.minor);
        SetIntProperty(install, "OLD_NUMBBUILD", old.build);
        SetIntProperty(install, "OLD_FULLVER", fullVersion);
        break;
    }
    case BodyOutcome::Stopped:
        break;
    case BodyOutcome::Failed:
        PublishError(install, error);
        break;
    }
    return ERROR_SUCCESS;
}
