#include "accounting.h"
#include "diag/file.h"

#include "test_files.h"

#include <gtest/gtest.h>

namespace ca {
namespace {

TEST(File, OpenFailureNamesCauseErrorAndFile) {
    test::ScratchFolder folder;
    const std::string missing = folder.File("missing.dat");
    try {
        File::OpenForRead(missing);
        FAIL() << "no failure raised";
    } catch (const FileFailure& failure) {
        EXPECT_EQ(failure.Cause(), static_cast<int32_t>(FileCause::NotFound));
        EXPECT_EQ(failure.OsError(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(failure.FileName(), missing);
    }
}

TEST(File, ReadDeniesWritersAndReadsLengthSeekAndEnd) {
    test::ScratchFolder folder;
    const std::string path = folder.File("data.bin");
    test::WriteWholeFile(path, "0123456789");
    File file = File::OpenForRead(path);
    EXPECT_TRUE(file.IsOpen());

    // Other readers are welcome, writers are not.
    HANDLE reader = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    ::CloseHandle(reader);
    HANDLE writer = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    EXPECT_EQ(file.Length(), 10u);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(file.Seek(7), 7u);
    EXPECT_EQ(file.Read(buffer, 16), 3u);  // short read at the end is no failure
    EXPECT_EQ(std::string(buffer, 3), "789");
    EXPECT_EQ(file.Read(buffer, 16), 0u);
    EXPECT_EQ(file.Seek(-2, FileOrigin::End), 8u);
    EXPECT_EQ(file.Seek(1, FileOrigin::Current), 9u);

    try {
        file.Seek(-20, FileOrigin::Current);
        FAIL() << "no failure raised";
    } catch (const FileFailure& failure) {
        EXPECT_NE(failure.OsError(), 0);
        EXPECT_EQ(failure.FileName(), path);
    }
    file.Close();
    EXPECT_FALSE(file.IsOpen());
}

TEST(File, ClosedFileAndFailedCloseRaise) {
    test::ScratchFolder folder;
    const std::string path = folder.File("data.bin");
    File file = File::OpenShared(path);  // created when missing
    file.Write("abc", 3);
    file.SetLength(2);
    EXPECT_EQ(file.Length(), 2u);
    {
        PlatformOverride failing(&Platform::CloseHandle, [](HANDLE h) -> BOOL {
            test::Tracked().CloseHandle(h);
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        });
        EXPECT_THROW(file.Close(), FileFailure);
    }
    EXPECT_FALSE(file.IsOpen());
    for (auto op : {+[](File& f) { f.Length(); }, +[](File& f) { f.Seek(0); },
                    +[](File& f) { char b; f.Read(&b, 1); }, +[](File& f) { f.Close(); }}) {
        try {
            op(file);
            ADD_FAILURE() << "no failure raised";
        } catch (const FileFailure& failure) {
            EXPECT_EQ(failure.OsError(), ERROR_INVALID_HANDLE);
            EXPECT_EQ(failure.Cause(), static_cast<int32_t>(FileCause::InvalidHandle));
        }
    }
    EXPECT_EQ(file.TryLock(0, 8), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST(File, RegionLocksExcludeOtherOpeners) {
    test::ScratchFolder folder;
    const std::string path = folder.File("locked.bin");
    File first = File::OpenShared(path);
    File second = File::OpenShared(path);
    EXPECT_EQ(first.TryLock(0, 8), 0u);
    EXPECT_EQ(second.TryLock(4, 8), static_cast<uint32_t>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(second.TryLock(8, 8), 0u);  // regions beyond the end are fine
    first.Unlock(0, 8);
    EXPECT_EQ(second.TryLock(0, 4), 0u);
    second.Unlock(0, 4);
    second.Unlock(8, 8);
}

}  // namespace
}  // namespace ca
