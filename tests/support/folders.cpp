#include "folders.h"

#include <windows.h>

#include <initializer_list>

namespace ca::test {

bool CreateFolders(const std::string& path) {
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

// The host's name of a path of the prefix.
std::string HostPath(const std::string& path) {
    using ToHost = char*(CDECL*)(LPCWSTR);
    const auto toHost = reinterpret_cast<ToHost>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH * 2] = {};
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH * 2);
    char* host = toHost ? toHost(wide) : nullptr;
    const std::string result = host ? host : "";
    if (host) HeapFree(GetProcessHeap(), 0, host);
    return result;
}

// Runs a program of the host, which cannot be waited for, until `done`
// holds (at most 2 s).
template <typename Done>
bool RunOnHost(std::string command, Done done) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    for (HANDLE h : {process.hProcess, process.hThread}) if (h) CloseHandle(h);
    for (int i = 0; i < 200 && !done(); ++i) Sleep(10);
    return done();
}

}  // namespace

bool IsFolderLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

namespace {

template <typename Done>
bool CreateLink(const std::string& link, const std::string& target, Done done) {
    const size_t cut = link.find_last_of('\\');
    const std::string parent = HostPath(link.substr(0, cut)), to = HostPath(target);
    if (parent.empty() || to.empty()) return false;
    return RunOnHost("Z:\\bin\\ln -s \"" + to + "\" \"" + parent + "/" + link.substr(cut + 1) + "\"", done);
}

}  // namespace

bool CreateFolderLink(const std::string& link, const std::string& target) {
    return CreateLink(link, target, [&] { return IsFolderLink(link); });
}

bool CreateFileLink(const std::string& link, const std::string& target) {
    return CreateLink(link, target, [&] { return GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

void RemoveFileLink(const std::string& link) {
    const size_t cut = link.find_last_of('\\');
    const std::string host = HostPath(link.substr(0, cut)) + "/" + link.substr(cut + 1);
    RunOnHost("Z:\\bin\\rm -f \"" + host + "\"", [&] { return GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

bool MoveOnHost(const std::string& from, const std::string& to) {
    const size_t cut = to.find_last_of('\\');
    const std::string source = HostPath(from), parent = HostPath(to.substr(0, cut));
    if (source.empty() || parent.empty()) return false;
    return RunOnHost("Z:\\bin\\mv \"" + source + "\" \"" + parent + "/" + to.substr(cut + 1) + "\"",
                     [&] { return GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

void RemoveFolderTree(const std::string& path) {
    // A link goes alone; what it leads to stays.
    if (IsFolderLink(path)) {
        RemoveFileLink(path);
        return;
    }
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolderTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(search, &data));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

}  // namespace ca::test
