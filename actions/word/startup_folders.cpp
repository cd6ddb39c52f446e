#include "actions/word/startup_folders.h"

#include "actions/detect/word_version.h"
#include "actions/users/ansi_text.h"
#include "actions/users/text/input_text.h"
#include "runtime/handles.h"
#include "runtime/protected_folder.h"
#include "runtime/text.h"

#include <optional>

namespace ca {

namespace {

constexpr DWORD kFolderBufferSize = 520;

// A text value of at most 519 characters; false when it cannot be read.
bool ReadFolderValue(HKEY key, const char* name, std::string& value, LONG& result) {
    char buffer[kFolderBufferSize + 1] = {};  // a value without terminator still ends
    DWORD size = kFolderBufferSize;
    result = Os().RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) return false;
    value = buffer;
    return true;
}

// The user's own startup folder, when the user's Word options name one. A
// missing key or value is no failure, and neither is an expansion that does
// not fit or comes out empty: there is no folder then. `appData` is the
// user's AppData of "Shell Folders", when it could be read. `served`: the
// folder handed to `operation`.
void ProcessCustomFolder(const UserProfile& profile, int wordVersion, const std::optional<std::string>& appData,
                         const StartupFolderOperation& operation, ActionError& error, std::string& served) {
    const std::string path = StringPrintf("%s\\Software\\Microsoft\\Office\\%d.0\\Word\\Options",
                                          profile.keyName.c_str(), wordVersion);
    UniqueKey key;
    if (Os().RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return;
    std::string value;
    LONG result = ERROR_SUCCESS;
    if (!ReadFolderValue(key.Get(), "STARTUP-PATH", value, result)) return;
    key.Reset();
    // The installer's environment is not the user's: only the user's own
    // folders stand for variables.
    const std::optional<std::string> expanded =
        ExpandInUserTerms(value, profile.profileFinal, appData, IsAnsiLeadByte);
    if (!expanded) {
        error.RecordError("Q2ZDX774H8246IN", ERROR_INVALID_DATA, nullptr, StringPrintf("(%s)", value.c_str()));
        error.PrependPoint("3TRYKDP7SELAWPL");
        return;
    }
    if (expanded->empty() || expanded->size() >= kFolderBufferSize) return;
    served = *expanded;
    if (!operation(*expanded, profile, error)) error.PrependPoint("3TRYKDP7SELAWPL");
}

}  // namespace

bool ForEachWordStartupFolder(const StartupFolderOperation& operation, ActionError& error) {
    return WalkUserProfiles(
        [&](const UserProfile& profile, ActionError& e) { return ResolveWordStartupFolders(profile, operation, e); },
        kWordWalkPoints, error);
}

bool ResolveWordStartupFolders(const UserProfile& profile, const StartupFolderOperation& operation,
                               ActionError& error) {
    const BodyOutcome outcome = RunActionBody(error, "JAFG4838K0OS3V9", [&] {
        const int wordVersion = ReadWordMajorVersion(error);
        if (wordVersion == 0) {
            error.RecordError("HUVYG7YBJHBEVV3", ERROR_INVALID_DATA);
            ThrowFailure();
        }
        if (wordVersion < 0) {
            error.PrependPoint("BTGKEYPPB757Z76");
            ThrowFailure();
        }

        // The user's AppData serves both folders; what went wrong reading it
        // is told after the custom folder, when the default one needs it.
        const std::string path =
            profile.keyName + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
        UniqueKey key;
        const LONG opened = Os().RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, key.Receive());
        std::string appData;
        LONG read = ERROR_SUCCESS;
        const bool haveAppData = opened == ERROR_SUCCESS && ReadFolderValue(key.Get(), "AppData", appData, read);
        key.Reset();

        std::string custom;
        ProcessCustomFolder(profile, wordVersion, haveAppData && !appData.empty() ? std::optional(appData) : std::nullopt, operation,
                            error, custom);

        if (opened != ERROR_SUCCESS) {
            error.RecordError("LWZFKBZRL87J47A", opened);
            ThrowFailure();
        }
        if (!haveAppData) {
            error.RecordError("5YAAWSE7JPWWMMH", read);
            ThrowFailure();
        }
        // A folder built from an empty AppData would lie in the current
        // drive's root.
        if (appData.empty()) return;
        const std::string folder = appData + "\\Microsoft\\Word\\STARTUP";
        // The custom folder is this one, written but for the case of its
        // letters: served once, or the second pass would take the first's
        // copy for an older template.
        if (SamePathText(custom, folder)) return;
        if (!operation(folder, profile, error)) {
            error.PrependPoint("GWLXWPMD6G28HLV");
            ThrowFailure();
        }
    });
    return outcome == BodyOutcome::Completed;
}

}  // namespace ca
