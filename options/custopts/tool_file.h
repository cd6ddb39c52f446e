// Files and system messages of the options-file tool. The tool runs on the
// authoring machine as well as on Windows, and tells failures the way the
// import does: by Windows error numbers, whatever the platform, with the
// system's message for them (on other platforms the Windows texts of the
// numbers a file can fail with).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "options/codec/options_file.h"

namespace ca::custopts {

// Raised by InputFile when reading fails: the error number of the failure.
struct InputFileError {
    uint32_t osError;
};

// An options file opened for reading as the import opens one (others may
// read it but not write it meanwhile).
class InputFile : public OptionsSource {
public:
    InputFile() = default;
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // 0, or the error number of the failure to open.
    uint32_t Open(const std::string& path);
    uint64_t Length() override;
    uint32_t Read(void* buffer, uint32_t count) override;
    // 0, or the error number of the failure to close; closed either way.
    uint32_t Close();

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// True when the path names an existing file (not a folder).
bool IsExistingFile(const std::string& path);
// The file name with its extension: what follows the last "\", "/" or drive
// colon (on Windows searched in the ANSI code page, so that the trail byte
// of a double-byte character is never taken for one).
std::string FileNameOf(const std::string& path);

// The whole content of a file ("-": standard input). False with a message
// naming the file and the system's reason.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& error);
// Writes a new file in place of `path`: into a temporary file beside it,
// then renamed over it, so that a failure leaves an existing file as it was.
bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

// The system's message for a Windows error number on one line, as the
// import asks for it; empty when there is none.
std::string SystemMessage(int32_t code);

// The texts of a refused import without the module: copies of its string
// table and the system messages above.
const ImportTexts& ToolImportTexts();

// Standard output and error pass bytes through unchanged (no line-end
// translation), so that the .reg text keeps its CR LF and nothing else gets one.
void UseBinaryStandardStreams();

}  // namespace ca::custopts
