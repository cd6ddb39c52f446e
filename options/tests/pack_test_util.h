// Helpers of the pack tests: building byte forms by hand, temporary files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace ca::testing {

class ByteForm {
public:
    ByteForm& U32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    ByteForm& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    ByteForm& Text(const std::string& text) {  // with its NUL
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back(0);
        return *this;
    }
    ByteForm& Raw(const std::vector<uint8_t>& raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        return *this;
    }
    ByteForm& Pack(int32_t count, int32_t mode) { return I32(count).I32(mode); }
    ByteForm& Item(int32_t type, int32_t count, const std::string& name) { return I32(type).I32(count).Text(name); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const uint8_t* Data() const { return bytes_.data(); }
    size_t Size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// A file in the temporary folder, removed at the end of the scope.
class TempFile {
public:
    explicit TempFile(const char* tag)
        : path_(std::filesystem::temp_directory_path() / (std::string("ca_options_") + tag + ".bin")) {}
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::FILE* Open(const char* mode) const { return std::fopen(path_.string().c_str(), mode); }

private:
    std::filesystem::path path_;
};

}  // namespace ca::testing
