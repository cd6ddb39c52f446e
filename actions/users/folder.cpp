#include "actions/users/folder.h"

#include "runtime/platform.h"

namespace ca {

bool IsExistingFolder(const std::string& path) {
    const DWORD attributes = Os().GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace ca
