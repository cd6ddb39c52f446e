// What the place proofs read of an open file or folder, through the
// by-handle queries that ask nothing of its volume.
#pragma once

#include "runtime/handles.h"
#include "runtime/platform.h"

#include <cstdint>
#include <string>

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

// Whether the two handles are open on one file: the same volume, and the
// same file number on it.
bool SameFile(HANDLE one, HANDLE other);

// The file `path` names, opened afresh without following a link at its end,
// for changing its attributes, or where the platform refuses that for a
// read-only file (Wine run by an ordinary user, which still changes them
// through a handle opened for reading them) for reading them; empty unless
// it is the file held open on `held`. For a mark that the held handle may
// not change: changed through this handle, never by the name, a link put on
// the held file meanwhile is not followed.
UniqueFile ReopenSameFile(const std::string& path, HANDLE held);

}  // namespace ca
