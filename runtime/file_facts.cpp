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

}  // namespace ca
