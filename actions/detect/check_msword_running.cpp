// CheckMSWordRunning: tells the package whether Word is running, by its main
// window.
#include "actions/action.h"

CA_ACTION CheckMSWordRunning(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CheckMSWordRunning");
    ActionError error;
    bool running = false;
    const BodyOutcome outcome = RunActionBody(error, "EFZPU2E3AGW4IN7", [&] {
        running = Os().FindWindowA("OpusApp", nullptr) != nullptr;
    });
    if (outcome == BodyOutcome::Failed) {
        PublishError(install, error);
        return ERROR_SUCCESS;
    }
    Os().MsiSetPropertyA(install, "IS_MSWORD_RUNNING", running ? "1" : "0");
    return ERROR_SUCCESS;
}
