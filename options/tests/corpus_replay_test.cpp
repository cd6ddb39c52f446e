// Replays the fuzzing seed corpus and every saved crash input through the
// properties the harnesses check.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "options/fuzz/options_fuzz_checks.h"
#include "options/fuzz/pack_fuzz_checks.h"

namespace ca {
namespace {

std::vector<std::filesystem::path> FilesIn(const char* folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(CA_OPTIONS_FUZZDIR) / folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

std::vector<uint8_t> Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CorpusReplay, SeedsAreValidPacksAndKeepTheProperties) {
    const auto files = FilesIn("corpus");
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        const auto bytes = Contents(file);
        Pack pack;
        EXPECT_EQ(ReadPack(pack, bytes.data(), bytes.size(), nullptr, 0), static_cast<int64_t>(bytes.size()))
            << file.filename();
        EXPECT_EQ(fuzz::CheckReaders(bytes.data(), bytes.size()), "") << file.filename();
        EXPECT_EQ(fuzz::CheckRoundTrip(bytes.data(), bytes.size()), "") << file.filename();
    }
}

TEST(CorpusReplay, OptionsFileSeedsAreAcceptedAndKeepTheProperties) {
    const auto files = FilesIn("options-corpus");
    ASSERT_GE(files.size(), 8u);
    for (const auto& file : files) {
        const auto bytes = Contents(file);
        MemoryOptionsSource source(bytes.data(), bytes.size());
        OptionsFileContent content;
        OptionsFileFailure failure;
        EXPECT_TRUE(ReadOptionsFile(source, fuzz::kFuzzProduct, content, failure)) << file.filename();
        EXPECT_EQ(fuzz::CheckOptionsFile(bytes.data(), bytes.size()), "") << file.filename();
    }
}

TEST(CorpusReplay, SavedCrashInputs) {
    for (const auto& file : FilesIn("crashes")) {
        const auto bytes = Contents(file);
        EXPECT_EQ(fuzz::CheckReaders(bytes.data(), bytes.size()), "") << file.filename();
        EXPECT_EQ(fuzz::CheckRoundTrip(bytes.data(), bytes.size()), "") << file.filename();
        EXPECT_EQ(fuzz::CheckOptionsFile(bytes.data(), bytes.size()), "") << file.filename();
    }
}

}  // namespace
}  // namespace ca
