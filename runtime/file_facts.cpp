#include "runtime/file_facts.h"

namespace ca {

bool ReadFileFacts(HANDLE handle, FileFacts& facts) {
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!Os().GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !Os().GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return false;
    facts.attributes = basic.FileAttributes;
    facts.links = standard.NumberOfLinks;
    return true;
}

bool ReadFileIndex(HANDLE handle, uint64_t& index) {
    constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
    LARGE_INTEGER number{};
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = Os().NtQueryInformationFile(handle, &status, &number, sizeof number, kFileInternalInformation);
    if (result < 0) {
        Os().SetLastError(Os().RtlNtStatusToDosError(result));
        return false;
    }
    index = static_cast<uint64_t>(number.QuadPart);
    return true;
}

bool SameFile(HANDLE one, HANDLE other) {
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return Os().GetFileInformationByHandle(one, &a) && Os().GetFileInformationByHandle(other, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

UniqueFile ReopenSameFile(const std::string& path, HANDLE held) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    UniqueFile again;
    for (const DWORD access : {DWORD{FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES}, DWORD{FILE_READ_ATTRIBUTES}}) {
        again.Reset(Os().CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (again || Os().GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    if (again && SameFile(again.Get(), held)) return again;
    return UniqueFile();
}

}  // namespace ca
