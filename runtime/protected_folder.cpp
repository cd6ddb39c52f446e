#include "runtime/protected_folder.h"

#include "runtime/file_facts.h"

#include <mbstring.h>

#include <cstring>

#include <vector>

namespace ca {

namespace {

using UniqueDescriptor = UniqueOsHandle<PSECURITY_DESCRIPTOR, LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;

// Every right by which a holder changes the folder, what is in it, or what
// new objects below it inherit.
constexpr DWORD kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                  FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                  GENERIC_ALL;

bool SameSid(const SID* a, const SID* b) {
    if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount) return false;
    return std::memcmp(a, b, 8 + 4u * a->SubAuthorityCount) == 0;
}

// Whether `sid` is the user of the process: the account that runs the
// action may keep its own things (LocalSystem on Windows; under Wine every
// program runs as the installing user). The process's token, never a
// thread's: a thread that acts for a user for a while does not make that
// user a keeper of the store.
bool IsRunningUser(PSID sid) {
    UniqueHandle token;
    if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD needed = 0;
    if (!Os().GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &needed)) return false;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
    return user->User.Sid != nullptr && SameSid(static_cast<const SID*>(user->User.Sid), static_cast<const SID*>(sid));
}

bool IsProtector(PSID sid) {
    return Os().IsWellKnownSid(sid, WinLocalSystemSid) || Os().IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsRunningUser(sid);
}

// Whether the list lets no one but SYSTEM and Administrators change
// anything. Entries that apply only to new objects below count as well: a
// file made in the folder would carry them. Deny entries take nothing away
// from the protection; any kind of entry other than allow and deny refuses.
bool OnlyProtectorsMayChange(const ACL* dacl) {
    if (dacl == nullptr) return false;  // no list: everyone may do everything
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    const size_t size = dacl->AclSize;
    size_t offset = sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > size) return false;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(bytes + offset);
        if (header->AceSize < sizeof(ACE_HEADER) || offset + header->AceSize > size) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            offset += header->AceSize;
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const size_t sidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if (header->AceSize < sidOffset + 8) return false;
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        const auto* sid = reinterpret_cast<const SID*>(&ace->SidStart);
        if (sidOffset + 8 + 4u * sid->SubAuthorityCount > header->AceSize) return false;
        if ((ace->Mask & kChangingRights) != 0 && !IsProtector(const_cast<SID*>(sid))) return false;
        offset += header->AceSize;
    }
    return true;
}

// Whether the last character is a separator (not the trail byte of a
// double-byte character that happens to look like one).
bool EndsInSeparator(const std::string& path) {
    bool separator = false;
    for (size_t i = 0; i < path.size(); ++i) {
        separator = path[i] == '\\';
        if (_ismbblead(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) ++i;
    }
    return separator;
}

std::string WithoutEndSeparator(std::string path) {
    if (EndsInSeparator(path)) path.pop_back();
    return path;
}

// Whether the final path the system gave names `asked`, once that is made
// full and long (8.3 names).
bool IsAskedPlace(const std::string& asked, const std::string& final) {
    char full[MAX_PATH * 2] = {};
    const DWORD fullLength = Os().GetFullPathNameA(asked.c_str(), sizeof full, full, nullptr);
    if (fullLength == 0 || fullLength >= sizeof full) return false;
    const std::string expected = WithoutEndSeparator(full);
    if (SamePathText(expected, final)) return true;
    char longer[MAX_PATH * 2] = {};
    const DWORD longLength = Os().GetLongPathNameA(expected.c_str(), longer, sizeof longer);
    return longLength > 0 && longLength < sizeof longer && SamePathText(WithoutEndSeparator(longer), final);
}

DWORD Prove(const std::string& path, HANDLE handle, std::string& finalPath) {
    FileFacts facts;
    if (!ReadFileFacts(handle, facts)) return Os().GetLastError();
    if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kFolderReachedThroughLink;
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
    DWORD error = ERROR_SUCCESS;
    finalPath = HandlePath(handle, error);
    // Without final paths the system has no links but junctions, which the
    // open does not follow.
    if (finalPath.empty() && error != ERROR_CALL_NOT_IMPLEMENTED) return error;
    if (!finalPath.empty() && !IsAskedPlace(path, finalPath)) return kFolderReachedThroughLink;

    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueDescriptor descriptor;
    const DWORD read = Os().GetSecurityInfo(handle, SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                            nullptr, &dacl, nullptr, descriptor.Receive());
    if (read != ERROR_SUCCESS) return read;
    if (owner == nullptr || !IsProtector(owner)) return kFolderForeignOwner;
    if (!OnlyProtectorsMayChange(dacl)) return kFolderOthersMayChange;
    return ERROR_SUCCESS;
}

}  // namespace

std::string HandlePath(HANDLE handle, DWORD& error) {
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = Os().GetFinalPathNameByHandleA(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            error = Os().GetLastError();
            if (error == ERROR_SUCCESS) error = ERROR_PATH_NOT_FOUND;
            return {};
        }
        if (length < buffer.size()) break;
        buffer.resize(length + 1);
    }
    std::string path = buffer.data();
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) {
        path = "\\" + path.substr(7);
    } else if (path.rfind("\\\\?\\", 0) == 0) {
        path = path.substr(4);
    }
    error = ERROR_SUCCESS;
    return WithoutEndSeparator(path);  // only a root ends in one
}

bool SamePathText(const std::string& a, const std::string& b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                    reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

DWORD OpenProtectedFolder(const std::string& path, ProtectedFolder& folder, DWORD access) {
    folder = ProtectedFolder{};
    UniqueDescriptor wanted;
    if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorA(kProtectedFolderAccess, SDDL_REVISION_1,
                                                                    wanted.Receive(), nullptr))
        return Os().GetLastError();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, wanted.Get(), FALSE};
    if (!Os().CreateDirectoryA(path.c_str(), &attributes)) {
        const DWORD error = Os().GetLastError();
        if (error != ERROR_ALREADY_EXISTS) return error;
    }
    // Whatever is at the name now, made here or planted before, is proven
    // the same way.
    UniqueFile opened(Os().CreateFileA(path.c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) return Os().GetLastError();
    std::string finalPath;
    const DWORD proof = Prove(path, opened.Get(), finalPath);
    if (proof != ERROR_SUCCESS) return proof;
    folder.handle = std::move(opened);
    folder.finalPath = std::move(finalPath);
    return ERROR_SUCCESS;
}

}  // namespace ca
