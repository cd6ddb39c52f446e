// What the place proofs read of an open file or folder, through the
// by-handle queries that ask nothing of its volume.
#pragma once

#include "runtime/platform.h"

#include <cstdint>

namespace ca {

struct FileFacts {
    DWORD attributes = 0;  // FILE_ATTRIBUTE_*
    DWORD links = 0;       // the number of names of the object
};

// The attributes and number of names of an open object. False with the last
// error set when either cannot be read.
bool ReadFileFacts(HANDLE handle, FileFacts& facts);

// The object's number on its volume (what names the same object under every
// name it has). False with the last error set when it cannot be read.
bool ReadFileIndex(HANDLE handle, uint64_t& index);

}  // namespace ca
