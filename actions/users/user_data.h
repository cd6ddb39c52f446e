// The registry and folder routines of DelMultiUserData.
#pragma once

#include "runtime/action_error.h"
#include "runtime/handles.h"

#include <functional>
#include <string>

namespace ca {

// What became of a key to be removed.
enum class KeyRemoval {
    Done,      // removed, or not there
    LinkKept,  // a link key on the way or inside: recorded, kept, not followed
    Failed,    // recorded
};

// A level above a tree, held open from the way down to the tree until its
// own removal when empty: no second way down, and the key asked is the one
// the way proved.
struct HeldLevel {
    size_t length = 0;  // of the level's path, as part of the tree's
    UniqueKey key;      // open when the way reached it
};

// Removes root\path with all its subkeys. Each key is opened below its
// parent's handle, one name at a time from `root`, as it is: a link key is
// never followed, nor deleted, and what it names stays untouched
// ("W7KQ2ZP4XRN9DHT", 681, extra "(root)(path up to the link)"; the keys that
// hold it stay too). Each key is deleted through its own handle. A key that
// does not exist is no failure. A failure deep in the tree leaves the keys
// removed so far removed and one "(root)(path)" pair per level in the extra
// text, innermost first.
//
// With `keep`, the tree found is read first (each level as the removal
// opens it; a link key below it is left out, as the removal keeps it) and
// handed to `keep` before anything is deleted: a Pack in its byte form,
// each key a pack of the items "v" (value names), "t" (their types), "d"
// (their data), "k" (subkey names) and "s" (their packs), each present only
// when not empty. The keys read stay open and the removal deletes exactly
// those, through their handles: a subkey made meanwhile keeps its parent,
// whose deletion then fails ("ZF2YJ5VUS2INT5P"). A read that fails ("8GHGT8D3D18GE1H", the registry's
// answer, extra "(root)(path of the level)"), or `keep` answering false
// (having recorded why), removes nothing: Failed.
//
// With `hold`, the level on the way whose path is the first `hold->length`
// characters of root\path (a key above the tree) stays open in it, for
// DeleteKeyIfEmpty after the removal, when the way reached it.
KeyRemoval DeleteKeyTree(HKEY root, const std::string& path, ActionError& error,
                         const std::function<bool(const std::string& tree)>& keep = {}, HeldLevel* hold = nullptr);

// Removes root\path when it has neither subkeys nor values; opened and
// deleted as DeleteKeyTree does ("F5NZ8VQ3JM2TYRC" for a link). With `hold`
// open (DeleteKeyTree's, naming root\path), the key is asked through it and
// opened anew only for its deletion; a key deleted meanwhile is no failure.
KeyRemoval DeleteKeyIfEmpty(HKEY root, const std::string& path, ActionError& error, HeldLevel* hold = nullptr);

// Whether root\path is there, its levels opened as DeleteKeyTree opens
// them: 1 (there), 0 (not there, or a link on the way, which the removal
// keeps and reports), -1 (recorded: "8GHGT8D3D18GE1H", the registry's
// answer, extra "(root)(path of the level)").
int ProbeKey(HKEY root, const std::string& path, ActionError& error);

// Writes the tree `bytes` (DeleteKeyTree's saved form; empty: an empty key) back to
// root\path: `root`\`first` must exist (a user's hive), the levels below
// it are opened or made one name at a time below the held parent, never
// through a link key, and only values that are not there are written:
// running it twice, or over a tree still there, changes nothing. A link on
// the way or a call that fails: "0HWSX2Y34FA02MC", the answer (681 for a
// link), extra "(root)(path of the level)"; bytes that are no such tree:
// "LI3RESG2GRY6ID7", 13.
bool RestoreKeyTree(HKEY root, const std::string& first, const std::string& path, const std::string& bytes,
                    ActionError& error);

// The user's AppData folder from "User Shell Folders" in the user's own hive.
// An expandable value of the form "%USERPROFILE%\rest" is resolved against
// the profile folder. A value naming any other variable, or one that does not
// come out as an absolute path, is refused ("0LDICMUKL7ICYOT", 13, extra
// "(<value>)"); an empty value gives an empty folder.
bool ReadUserAppDataFolder(const std::string& keyName, const std::string& profileFolder,
                           std::string& folder, ActionError& error);

}  // namespace ca
