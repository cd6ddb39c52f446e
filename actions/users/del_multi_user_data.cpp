// DelMultiUserData (deferred): removes the application's per-user data from
// every user profile of the machine, users who are not logged on included:
// a key tree and a key left empty in the user's registry, the application's
// files in the user's AppData folder and that folder when it is empty.
#include "actions/action.h"
#include "actions/users/ansi_text.h"
#include "actions/users/folder.h"
#include "actions/users/profile_walk.h"
#include "actions/users/text/input_text.h"
#include "actions/users/user_data.h"
#include "runtime/handles.h"
#include "runtime/properties.h"
#include "runtime/text.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace ca;

// The application's files in its held, proven folder, from the last found
// to the first, then the folder itself when it has become empty. Each file
// is opened by its single name relative to the held folder, proven to lie
// right there with a single name, and deleted through that handle; the
// folder, proven in place once more, through a handle of its own. No file
// is opened by a path through the user's folders, which a mount point or
// link planted after the proof would lead elsewhere. Folders among the
// entries (and "." and "..") are passed over; results are not examined, so
// a file that is read-only or in use stays, and so does the folder.
void DeleteFiles(UniqueFile folder, const std::string& appFolder, const std::string& pattern) {
    const std::string folderFinal = FinalPathOf(folder.Get());
    if (folderFinal.empty()) return;
    std::vector<std::string> found;
    if (!pattern.empty()) {
        // The names are looked up below the folder's proven final path.
        WIN32_FIND_DATAA data{};
        UniqueFind search(Os().FindFirstFileA((folderFinal + "\\" + pattern).c_str(), &data));
        if (search) {
            do {
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) found.emplace_back(data.cFileName);
            } while (Os().FindNextFileA(search.Get(), &data));
        }
    }
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        UniqueFile file;
        if (OpenChild(folder.Get(), folderFinal, *it, DELETE, FILE_OPEN, ObjectKind::File, file) == ERROR_SUCCESS)
            DeleteByHandle(file.Get());
    }
    // The folder is let go only to be opened for its own deletion, proven
    // in place once more.
    folder.Reset();
    UniqueFile self;  // stays when it still has content
    if (OpenInPlace(appFolder, DELETE, OPEN_EXISTING, ObjectKind::Folder, self) == ERROR_SUCCESS)
        DeleteByHandle(self.Get());
}

// The steps for one profile; the first that fails ends the profile.
bool RemoveUserData(const UserProfile& profile, const RemovalItems& items, ActionError& error) {
    // A link key is left as it is and logged; the user's other steps go on.
    const KeyRemoval tree = DeleteKeyTree(HKEY_USERS, profile.keyName + "\\" + items.treeKey, error);
    if (tree != KeyRemoval::Done) error.PrependPoint("N2VBF5GVTXCC427");
    if (tree == KeyRemoval::Failed) return false;
    const KeyRemoval emptyOnly = DeleteKeyIfEmpty(HKEY_USERS, profile.keyName + "\\" + items.emptyOnlyKey, error);
    if (emptyOnly != KeyRemoval::Done) error.PrependPoint("TKS8ENS99HGUE7S");
    if (emptyOnly == KeyRemoval::Failed) return false;
    // "%USERPROFILE%" stands for the profile folder where the walk proved it.
    const std::string& home = profile.profileFinal.empty() ? profile.profileFolder : profile.profileFinal;
    std::string appData;
    if (!ReadUserAppDataFolder(profile.keyName, home, appData, error)) {
        error.PrependPoint("MSR5LRX99VL7M8Z");
        return false;
    }
    // Paths built from an empty folder would be relative to the current drive.
    if (appData.empty()) return true;
    const std::string appFolder = appData + "\\" + items.appFolder;
    // The value is the user's to write: only a folder inside the user's own
    // profile is served. Any other place (another folder of the machine,
    // another drive, a network path, another user's profile) is not looked
    // at. The proven folder stays held, not to be renamed, while its files go.
    UniqueFile look;
    switch (CheckUserFolderPlace(appFolder, profile.profileFinal, 0, look, error)) {
    case FolderPlace::Missing:
        return true;  // nothing to remove
    case FolderPlace::Refused:
        // Elsewhere, or reached through a link: what is there is not the user's.
        error.PrependPoint("MSR5LRX99VL7M8Z");
        return false;
    case FolderPlace::InPlace:
        break;
    }
    DeleteFiles(std::move(look), appFolder, items.filePattern);
    return true;
}

}  // namespace

CA_ACTION DelMultiUserData(MSIHANDLE install) {
    ActionScope scope(install, "DelMultiUserData");
    ActionError error;
    RunActionBody(error, "8TWBI2KBMJFMWTH", [&] {
        std::string data;
        if (!GetStringProperty(install, "CustomActionData", data, error)) {
            error.PrependPoint("P9787KWWKWBI572");
            ThrowFailure();
        }
        // Items 0 to 3: empty-only key; key tree; file pattern; application folder.
        const std::optional<std::vector<std::string>> split =
            SplitTerminatedItems(data, 4, IsAnsiLeadByte);
        RemovalItems items;
        if (split) items = {(*split)[0], (*split)[1], (*split)[2], (*split)[3]};
        // Refused before any profile is touched: input that would remove a
        // user's whole registry or files outside the application's folder.
        if (!split || !AreRemovalItemsSafe(items, IsAnsiLeadByte)) {
            error.RecordError("MKP3C62ZX3ADDZV", ERROR_INVALID_DATA, nullptr,
                              StringPrintf("(%s)", data.c_str()));
            ThrowFailure();
        }
        // A failed walk has logged its points already.
        WalkUserProfiles(
            [&](const UserProfile& profile, ActionError& e) { return RemoveUserData(profile, items, e); },
            kRemovalWalkPoints, error);
    });
    return ERROR_SUCCESS;
}
