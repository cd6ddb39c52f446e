#include "options/custopts/tool_file.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <mbstring.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ca::custopts {

namespace {

// Windows error numbers the tool reports.
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;

class ToolTexts : public ImportTexts {
public:
    std::string Message(unsigned id, const std::string& path) const override {
        const char* format = ImportMessageText(id);
        if (format == nullptr) return std::string();
        std::string text = format;
        // Only 60163 takes an argument, the file name in place of its %s.
        if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, path);
        return text;
    }
    std::string SystemMessage(int32_t code) const override { return custopts::SystemMessage(code); }
};

#if !defined(_WIN32)

// The Windows number of a failure the C library reports with errno. A
// missing file is told from a missing folder as Windows tells them.
uint32_t WindowsErrorOf(int error, const std::string& path) {
    switch (error) {
        case ENOENT: {
            const size_t slash = path.find_last_of('/');
            const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
            struct stat info {};
            return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? kFileNotFound : kPathNotFound;
        }
        case ENOTDIR: return kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS: return kAccessDenied;
        case EMFILE:
        case ENFILE: return 4;    // ERROR_TOO_MANY_OPEN_FILES
        case ENOMEM: return 8;    // ERROR_NOT_ENOUGH_MEMORY
        case EIO: return 30;      // ERROR_READ_FAULT
        case EBUSY:
        case ETXTBSY: return 32;  // ERROR_SHARING_VIOLATION
        case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
        case ELOOP: return 1921;  // ERROR_CANT_RESOLVE_FILENAME
        default: return 31;       // ERROR_GEN_FAILURE
    }
}

#endif

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

const ImportTexts& ToolImportTexts() {
    static const ToolTexts texts;
    return texts;
}

#if defined(_WIN32)

InputFile::~InputFile() { Close(); }

uint32_t InputFile::Open(const std::string& path) {
    Close();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
    handle_ = h;
    return 0;
}

uint64_t InputFile::Length() {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) throw InputFileError{::GetLastError()};
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t InputFile::Read(void* buffer, uint32_t count) {
    DWORD read = 0;
    if (!::ReadFile(static_cast<HANDLE>(handle_), buffer, count, &read, nullptr)) throw InputFileError{::GetLastError()};
    return read;
}

uint32_t InputFile::Close() {
    if (handle_ == nullptr) return 0;
    const BOOL closed = ::CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    return closed ? 0 : ::GetLastError();
}

std::string SystemMessage(int32_t code) {
    std::string result;
    if (code == 0) return result;
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer),
        0, nullptr);
    if (buffer != nullptr) {
        result.assign(buffer, length);
        ::LocalFree(buffer);
    }
    return result;
}

bool IsExistingFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string FileNameOf(const std::string& path) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(path.c_str());
    const unsigned char* start = text;
    for (unsigned int separator : {'\\', '/', ':'}) {
        const unsigned char* last = _mbsrchr(text, separator);
        if (last != nullptr && last + 1 > start) start = last + 1;
    }
    return std::string(reinterpret_cast<const char*>(start));
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

#else

InputFile::~InputFile() { Close(); }

uint32_t InputFile::Open(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return WindowsErrorOf(errno, path);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        // Windows opens no folder (nor anything but a file) this way.
        ::close(fd);
        return kAccessDenied;
    }
    fd_ = fd;
    return 0;
}

uint64_t InputFile::Length() {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw InputFileError{WindowsErrorOf(errno, std::string())};
    return static_cast<uint64_t>(info.st_size);
}

uint32_t InputFile::Read(void* buffer, uint32_t count) {
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw InputFileError{WindowsErrorOf(errno, std::string())};
        }
        if (n == 0) break;
        total += static_cast<uint32_t>(n);
    }
    return total;
}

uint32_t InputFile::Close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : WindowsErrorOf(errno, std::string());
}

std::string SystemMessage(int32_t code) {
    // As FormatMessageA gives them with FORMAT_MESSAGE_MAX_WIDTH_MASK: the
    // message's closing line break has become a blank.
    switch (code) {
        case 2: return "The system cannot find the file specified. ";
        case 3: return "The system cannot find the path specified. ";
        case 4: return "The system cannot open the file. ";
        case 5: return "Access is denied. ";
        case 6: return "The handle is invalid. ";
        case 8: return "Not enough memory resources are available to process this command. ";
        case 9: return "The storage control block address is invalid. ";
        case 13: return "The data is invalid. ";
        case 30: return "The system cannot read from the specified device. ";
        case 31: return "A device attached to the system is not functioning. ";
        case 32: return "The process cannot access the file because it is being used by another process. ";
        case 87: return "The parameter is incorrect. ";
        case 206: return "The filename or extension is too long. ";
        case 1921: return "The name of the file cannot be resolved by the system. ";
        default: return std::string();
    }
}

bool IsExistingFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string FileNameOf(const std::string& path) {
    const size_t last = path.find_last_of("\\/:");
    return last == std::string::npos ? path : path.substr(last + 1);
}

void UseBinaryStandardStreams() {}

#endif

bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
    content.clear();
    const bool standardInput = path == "-";
    std::FILE* f = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path + ": " + Reason(errno);
        return false;
    }
    char buffer[64 * 1024];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    const int readError = errno;
    if (!standardInput) std::fclose(f);
    if (failed) {
        error = "cannot read " + (standardInput ? std::string("the standard input") : path) + ": " + Reason(readError);
        return false;
    }
    return true;
}

bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    const std::string temporary = path + ".custopts-new";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot create " + temporary + ": " + Reason(errno);
        return false;
    }
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int writeError = errno;
    if (std::fflush(f) != 0 && ok) {
        ok = false;
        writeError = errno;
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        writeError = errno;
    }
    if (!ok) {
        std::remove(temporary.c_str());
        error = "cannot write " + temporary + ": " + Reason(writeError);
        return false;
    }
#if defined(_WIN32)
    if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const std::string reason = SystemMessage(static_cast<int32_t>(::GetLastError()));
        std::remove(temporary.c_str());
        error = "cannot replace " + path + ": " + reason;
        return false;
    }
#else
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        std::remove(temporary.c_str());
        error = "cannot replace " + path + ": " + Reason(renameError);
        return false;
    }
#endif
    return true;
}

}  // namespace ca::custopts
