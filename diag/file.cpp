#include "diag/file.h"

#include "diag/text_format.h"

namespace ca {

FileCause FileCauseOf(uint32_t osError) { return static_cast<FileCause>(FileCauseNumber(osError)); }

namespace {

HANDLE OpenHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return Os().CreateFileA(path.c_str(), access, share, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

File File::OpenForRead(const std::string& path) {
    HANDLE h = OpenHandle(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = Os().GetLastError();
        throw FileFailure(FileCauseOf(error), error, path);
    }
    return File(h, path);
}

File File::OpenShared(const std::string& path) {
    HANDLE h = OpenHandle(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = Os().GetLastError();
        throw FileFailure(FileCauseOf(error), error, path);
    }
    return File(h, path);
}

void File::Fail(uint32_t osError) const {
    throw FileFailure(FileCauseOf(osError), osError, name_);
}

void File::RequireOpen() const {
    if (!IsOpen()) Fail(ERROR_INVALID_HANDLE);
}

uint64_t File::Length() const {
    RequireOpen();
    LARGE_INTEGER size{};
    if (!Os().GetFileSizeEx(handle_.Get(), &size)) Fail(Os().GetLastError());
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t File::Read(void* buffer, uint32_t count) {
    RequireOpen();
    DWORD read = 0;
    if (!Os().ReadFile(handle_.Get(), buffer, count, &read, nullptr)) Fail(Os().GetLastError());
    return read;
}

void File::Write(const void* data, uint32_t count) {
    RequireOpen();
    DWORD written = 0;
    if (!Os().WriteFile(handle_.Get(), data, count, &written, nullptr)) Fail(Os().GetLastError());
    // A write that reports success but stores less ran out of room.
    if (written != count) Fail(ERROR_HANDLE_DISK_FULL);
}

uint64_t File::Seek(int64_t offset, FileOrigin origin) {
    RequireOpen();
    const DWORD method = origin == FileOrigin::Begin     ? FILE_BEGIN
                         : origin == FileOrigin::Current ? FILE_CURRENT
                                                         : FILE_END;
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (!Os().SetFilePointerEx(handle_.Get(), distance, &position, method))
        Fail(Os().GetLastError());
    return static_cast<uint64_t>(position.QuadPart);
}

void File::SetLength(uint64_t length) {
    Seek(static_cast<int64_t>(length));
    if (!Os().SetEndOfFile(handle_.Get())) Fail(Os().GetLastError());
}

void File::Flush() {
    RequireOpen();
    if (!Os().FlushFileBuffers(handle_.Get())) Fail(Os().GetLastError());
}

void File::Close() {
    RequireOpen();
    HANDLE h = handle_.Release();
    if (!Os().CloseHandle(h)) Fail(Os().GetLastError());
}

uint32_t File::TryLock(uint64_t offset, uint64_t length) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (Os().LockFileEx(handle_.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                        static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &where))
        return 0;
    return Os().GetLastError();
}

void File::Unlock(uint64_t offset, uint64_t length) {
    if (!IsOpen()) return;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    Os().UnlockFileEx(handle_.Get(), 0, static_cast<DWORD>(length),
                      static_cast<DWORD>(length >> 32), &where);
}

}  // namespace ca
