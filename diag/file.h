// Files of the diagnostics library and of the options store. Opening,
// reading, writing, seeking and closing raise a FileFailure when the system
// call fails; region locks report their error code instead.
#pragma once

#include "runtime/handles.h"

#include <cstdint>
#include <exception>
#include <string>

namespace ca {

// Classification of a file failure, derived from the system's error number.
enum class FileCause : int32_t {
    Generic = 1,           // anything not listed below
    NotFound = 2,          // file or path missing, bad name
    AccessDenied = 3,      // access denied, read-only file
    SharingViolation = 4,  // another opener denies this access
    LockViolation = 5,     // a region is locked by another opener
    DiskFull = 6,          // no room for the data written
    InvalidHandle = 7,     // operation on a file that is not open
    BadSeek = 8,           // position out of range
};

FileCause FileCauseOf(uint32_t osError);

// Raised by File when a system call fails.
class FileFailure : public std::exception {
public:
    FileFailure(FileCause cause, uint32_t osError, std::string fileName)
        : cause_(static_cast<int32_t>(cause)),
          osError_(static_cast<int32_t>(osError)),
          fileName_(std::move(fileName)) {}

    int32_t Cause() const { return cause_; }
    int32_t OsError() const { return osError_; }
    const std::string& FileName() const { return fileName_; }
    // The failure's own description; the module carries none per cause.
    std::string Description() const { return std::string(); }

    const char* what() const noexcept override { return "file failure"; }

private:
    int32_t cause_;
    int32_t osError_;
    std::string fileName_;
};

enum class FileOrigin { Begin, Current, End };

class File {
public:
    File() = default;
    File(File&&) noexcept = default;
    File& operator=(File&&) noexcept = default;

    // For reading; others may read but not write while it is open.
    static File OpenForRead(const std::string& path);
    // For reading and writing, shared with other readers and writers; the
    // file is created when missing.
    static File OpenShared(const std::string& path);

    bool IsOpen() const { return handle_.Valid(); }
    const std::string& Name() const { return name_; }

    uint64_t Length() const;
    // Reads up to `count` bytes at the current position; fewer at the end.
    uint32_t Read(void* buffer, uint32_t count);
    // Writes all `count` bytes at the current position.
    void Write(const void* data, uint32_t count);
    // Moves the position; returns the new position from the start.
    uint64_t Seek(int64_t offset, FileOrigin origin = FileOrigin::Begin);
    // Cuts or extends the file to `length` bytes.
    void SetLength(uint64_t length);
    void Flush();
    // Closes the file; a failure to close raises like every other call. The
    // file counts as closed afterwards either way.
    void Close();

    // Exclusive lock of a region, failing at once when another opener holds
    // part of it: 0 or the system's error code (33 for a held region).
    uint32_t TryLock(uint64_t offset, uint64_t length);
    void Unlock(uint64_t offset, uint64_t length);

private:
    File(HANDLE handle, std::string name) : handle_(handle), name_(std::move(name)) {}
    [[noreturn]] void Fail(uint32_t osError) const;
    void RequireOpen() const;

    UniqueFile handle_;
    std::string name_;
};

}  // namespace ca
