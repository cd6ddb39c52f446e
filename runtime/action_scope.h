// The call context of an exported action, and what the action tells the
// installer engine itself: its failure records for the installer's own log,
// and progress texts for the progress dialog.
#pragma once

#include "runtime/platform.h"

#include <string>

namespace ca {

// Opened first by every exported action; names the running call for the
// installer messages of this thread until the end of the scope:
//
//     CA_ACTION ReadProductVerPrm(MSIHANDLE install) {
//         ActionScope scope(install, "ReadProductVerPrm");
//
// Scopes nest; the innermost one is in force. No scope, no messages.
class ActionScope {
public:
    ActionScope(MSIHANDLE install, const char* action);
    ~ActionScope();
    ActionScope(const ActionScope&) = delete;
    ActionScope& operator=(const ActionScope&) = delete;

    // The innermost scope open on this thread, or nullptr.
    static const ActionScope* Current();

    MSIHANDLE Install() const { return install_; }
    const char* Action() const { return action_; }

private:
    MSIHANDLE install_;
    const char* action_;
    const ActionScope* outer_;
};

// Sends one record of the failure trace to the installer's own log as an
// information message "CustAction: <action>: <text>", the text unchanged
// (brackets and braces in it are escaped, so the installer's formatting
// gives them back as they are). Does nothing outside an action scope; never
// fails its caller.
void SendInfoMessage(const std::string& text);

// Sends one progress text for the item the action is working on (for
// instance the user profile it visits), escaped like the log lines. The
// installer shows it through the template of the action's ActionText row,
// in which [1] stands for the text ("User profile: [1]"). Returns the
// installer's answer (IDCANCEL when the user asked to cancel, -1 when it
// failed), or 0 outside an action scope or when no record could be made.
int SendActionData(const std::string& text);

}  // namespace ca
