// Folders for tests and the programs that prepare a prefix for them; needs
// nothing but the system, so programs without GoogleTest use it too.
#pragma once

#include <string>

namespace ca::test {

// Creates a folder with its missing parents; whether it exists afterwards.
bool CreateFolders(const std::string& path);
// Removes a folder with everything in it, read-only files included.
void RemoveFolderTree(const std::string& path);
// Makes `link` a symbolic link of the host system to the folder `target`
// (both paths of the prefix's drives), which the test platform reports as a
// reparse point (0x410) and follows, as Windows follows a junction. Whether
// the link is there afterwards. RemoveFolderTree removes the link, never
// what is behind it.
bool CreateFolderLink(const std::string& link, const std::string& target);
bool IsFolderLink(const std::string& path);
// The same for a file `target`; the test platform shows the link as a plain
// file and follows it, DeleteFileA included (it deletes the target): remove
// the link with RemoveFileLink while its target is still there.
bool CreateFileLink(const std::string& link, const std::string& target);
void RemoveFileLink(const std::string& link);
// Renames a folder on the host system, past the test platform's sharing
// checks (as a user who turns a held folder into a link would); whether
// `to` exists afterwards.
bool MoveOnHost(const std::string& from, const std::string& to);

}  // namespace ca::test
