#include "actions/users/rights_undo.h"

#include "runtime/file_facts.h"
#include "runtime/handles.h"
#include "runtime/text.h"

namespace ca {

bool KeepOldAccessList(BackupStore& store, const std::string& path, const std::string& objectNumber,
                       PSECURITY_DESCRIPTOR descriptor, const char* point, ActionError& error) {
    UniqueOsHandle<LPSTR, LocalMemoryTraits<LPSTR>> text;
    DWORD answer = ERROR_SUCCESS;
    if (!Os().ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                                    DACL_SECURITY_INFORMATION, text.Receive(), nullptr))
        answer = Os().GetLastError();
    if (answer == ERROR_SUCCESS) answer = store.Append({"acl", path, text.Get(), objectNumber});
    if (answer == ERROR_SUCCESS) return true;
    // Without its way back the list is not changed.
    error.RecordError(point, static_cast<int32_t>(answer), nullptr, StringPrintf("(%s)", path.c_str()));
    return false;
}

DWORD WriteAccessList(HANDLE object, SE_OBJECT_TYPE type, const std::string& sddl) {
    UniqueOsHandle<PSECURITY_DESCRIPTOR, LocalMemoryTraits<PSECURITY_DESCRIPTOR>> descriptor;
    if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                    descriptor.Receive(), nullptr))
        return Os().GetLastError();
    // A self-relative descriptor: its control bits and where its list is.
    const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor.Get());
    if ((relative->Control & SE_SELF_RELATIVE) == 0) return ERROR_INVALID_SECURITY_DESCR;
    PACL dacl = nullptr;
    if ((relative->Control & SE_DACL_PRESENT) != 0 && relative->Dacl != 0)
        dacl = reinterpret_cast<PACL>(reinterpret_cast<BYTE*>(descriptor.Get()) + relative->Dacl);
    // No list at all would let everyone do everything; the actions never
    // keep one (they leave an object without a list alone).
    if (dacl == nullptr) return ERROR_INVALID_SECURITY_DESCR;
    const SECURITY_INFORMATION info =
        DACL_SECURITY_INFORMATION | ((relative->Control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return Os().SetSecurityInfo(object, type, info, nullptr, nullptr, dacl, nullptr);
}

std::string FolderNumber(HANDLE folder) {
    uint64_t index = 0;
    if (!ReadFileIndex(folder, index)) return std::string();
    return StringPrintf("%016llX", static_cast<unsigned long long>(index));
}

}  // namespace ca
