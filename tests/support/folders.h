// Folders for tests and the programs that prepare a prefix for them; needs
// nothing but the system, so programs without GoogleTest use it too.
#pragma once

#include <string>

namespace ca::test {

// Creates a folder with its missing parents; whether it exists afterwards.
bool CreateFolders(const std::string& path);
// Removes a folder with everything in it, read-only files included.
void RemoveFolderTree(const std::string& path);

}  // namespace ca::test
