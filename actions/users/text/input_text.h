// Text checks of the per-user actions' inputs: the ";"-terminated item lists
// of CustomActionData and the items that name what is removed. No Windows API
// here: the caller hands in how its code page marks double-byte characters,
// so this builds with any compiler and is unit-tested natively.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ca {

// True when the byte is the first of a double-byte character in the code
// page of the text.
using LeadBytePredicate = bool (*)(unsigned char);

// For texts of a single-byte code page.
bool NoLeadBytes(unsigned char);

// Position of the first `c` at or after `from` (which must start a
// character); the trail byte of a double-byte character never counts.
// npos when there is none.
size_t FindChar(std::string_view text, char c, size_t from, LeadBytePredicate isLead);

// Position of the last `c` that is not a trail byte; npos when there is none.
size_t FindLastChar(std::string_view text, char c, LeadBytePredicate isLead);

// The first `count` items of a list whose items each end with ";". Text
// after the last of them is ignored. Empty when a ";" is missing.
std::optional<std::vector<std::string>> SplitTerminatedItems(std::string_view text, size_t count,
                                                             LeadBytePredicate isLead);

// What DelMultiUserData removes in every profile.
struct RemovalItems {
    std::string emptyOnlyKey;  // removed when it holds nothing
    std::string treeKey;       // removed with its subtree
    std::string filePattern;   // files deleted in the application's folder; empty: none
    std::string appFolder;     // the application's folder below AppData
};

// True when the items cannot remove more than the package names: both keys
// are paths below the user's root (not empty, not starting with "\"), the
// pattern names files of one folder (no "\" or "/"), and the application's
// folder is a relative path below AppData that names a folder of its own (no
// drive, no "\\" prefix, no ".." component, not only "." components).
bool AreRemovalItemsSafe(const RemovalItems& items, LeadBytePredicate isLead);

// Length of the root of an absolute folder path: 2 for a drive ("C:"
// followed by "\"), the length of "\\server\share" for a network path (the
// "\" after it not included). 0 when the path names no folder by itself: a
// relative path, a drive without "\" after it, a server without a share, a
// device path ("\\?\", "\\.\").
size_t AbsoluteRootLength(std::string_view path, LeadBytePredicate isLead);

// Where a user's "AppData" of the form "%USERPROFILE%\rest" is: the profile
// folder followed by "\rest". Empty when the value names another variable as
// well or instead (the variable's name is compared without regard to case).
std::optional<std::string> ResolveAgainstProfile(std::string_view value, std::string_view profileFolder,
                                                 LeadBytePredicate isLead);

// A user's Word startup folder value in that user's terms: "%USERPROFILE%"
// stands for `profileFolder` and "%APPDATA%" for `appData` (names compared
// without regard to case), wherever they stand. Empty when the value names any
// other variable ("%NAME%", "%%" included), or "%APPDATA%" while the user has
// no AppData. A "%" with no second one after it is text.
std::optional<std::string> ExpandInUserTerms(std::string_view value, std::string_view profileFolder,
                                             std::optional<std::string_view> appData, LeadBytePredicate isLead);

// True when the full path `path` names `folder` itself or something below
// it: `folder` is a leading run of whole components of `path`. Letters of the
// ASCII range compare without regard to case; every other byte, and both
// bytes of a double-byte character, must be equal. Neither may end in "\"
// (a root such as "C:\" is passed as "C:"). An empty folder holds nothing.
bool LiesWithin(std::string_view path, std::string_view folder, LeadBytePredicate isLead);

}  // namespace ca
