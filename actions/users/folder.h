// Folder checks shared by the rights and the Word template actions.
#pragma once

#include <string>

namespace ca {

// True exactly when the path names an existing folder. Reports nothing.
bool IsExistingFolder(const std::string& path);

}  // namespace ca
