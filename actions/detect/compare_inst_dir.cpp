// CompareInstDir: tells the package whether the installation folder now chosen
// is the folder of the earlier installation.
#include "actions/action.h"
#include "runtime/properties.h"

#include <mbstring.h>

namespace {

// Drops one trailing backslash. The search is multibyte-aware, so the trail
// byte of a double-byte character is never taken for a backslash.
void DropTrailingBackslash(std::string& folder) {
    if (folder.empty()) return;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(folder.c_str());
    const unsigned char* last = _mbsrchr(text, '\\');
    if (last != nullptr && last == text + folder.size() - 1) folder.pop_back();
}

}  // namespace

CA_ACTION CompareInstDir(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CompareInstDir");
    ActionError error;
    bool equal = false;
    const BodyOutcome outcome = RunActionBody(error, "N598PFYYT6XNMNE", [&] {
        std::string oldFolder, newFolder;
        if (!GetStringProperty(install, "COPY_INSTALLDIR", oldFolder, error)) {
            error.PrependPoint("JYCT85K6YHFFIGI");
            ThrowFailure();
        }
        if (!GetStringProperty(install, "INSTALLDIR", newFolder, error)) {
            error.PrependPoint("8323JT875AC2ZKN");
            ThrowFailure();
        }
        DropTrailingBackslash(oldFolder);
        DropTrailingBackslash(newFolder);
        equal = _mbsicmp(reinterpret_cast<const unsigned char*>(oldFolder.c_str()),
                         reinterpret_cast<const unsigned char*>(newFolder.c_str())) == 0;
    });
    if (outcome == BodyOutcome::Failed) {
        PublishError(install, error);
        equal = false;
    }
    Os().MsiSetPropertyA(install, "EQUAL_OLDNEW_INSTALLDIR", equal ? "1" : "0");
    return ERROR_SUCCESS;
}
