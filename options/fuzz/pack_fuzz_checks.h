// Properties every input must keep, shared by the fuzzing harnesses and the
// unit test that replays the corpus and the saved crash inputs. Each check
// returns an empty text, or a description of the broken property.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/pack.h"

namespace ca::fuzz {

inline bool IsReaderResult(int64_t result, size_t size) {
    return result == kPackTruncated || result == kPackInvalid || (result >= 0 && static_cast<uint64_t>(result) <= size);
}

// The readers accept or refuse any input without reading past it.
inline std::string CheckReaders(const uint8_t* data, size_t size) {
    Pack pack;
    const int64_t consumed = ReadPack(pack, data, size, nullptr, 0);
    if (!IsReaderResult(consumed, size)) return "pack reader result out of range";
    if (size > 0 && consumed >= 0 && consumed < 8) return "pack shorter than its header";
    if (CheckPack(data, size) != consumed) return "the check without reading and the reader disagree";
    for (int32_t mode : {0, 1}) {
        std::unique_ptr<PackItem> item;
        const int64_t itemResult = ReadItem(item, mode, data, size, nullptr, 0);
        if (!IsReaderResult(itemResult, size)) return "item reader result out of range";
        if ((itemResult > 0) != (item != nullptr)) return "item result and item disagree";
    }
    return {};
}

inline std::string WriteAll(const Pack& pack, std::vector<uint8_t>& out) {
    const int64_t size = PackSize(pack, nullptr, 0);
    if (size < 8) return "a pack that was read cannot be sized";
    out.assign(static_cast<size_t>(size), 0);
    if (WritePack(pack, out.data(), out.size(), nullptr, 0) != size) return "written size differs from computed size";
    return {};
}

// A pack that reads is copied, rendered and written; what is written reads
// back completely, and after one pass (which settles the values a writer
// never produces) writing and reading are exact inverses.
inline std::string CheckRoundTrip(const uint8_t* data, size_t size) {
    Pack first;
    if (ReadPack(first, data, size, nullptr, 0) <= 0) return {};
    Pack copy(first);
    if (!PacksEqual(first, copy, 1)) return "copy differs";
    const int64_t textLength = RenderPackText(first, nullptr, 0, 0);
    if (textLength < 0 || RenderPackText(first, 0).size() != static_cast<uint64_t>(textLength))
        return "rendering measure and fill disagree";

    std::vector<uint8_t> once, twice, thrice;
    if (std::string error = WriteAll(first, once); !error.empty()) return error;
    Pack second;
    const int64_t reread = ReadPack(second, once.data(), once.size(), nullptr, 0);
    if (reread != static_cast<int64_t>(once.size())) return "written pack does not read back";
    if (std::string error = WriteAll(second, twice); !error.empty()) return error;
    Pack third;
    if (ReadPack(third, twice.data(), twice.size(), nullptr, 0) != static_cast<int64_t>(twice.size()))
        return "rewritten pack does not read back";
    if (!PacksEqual(second, third, 1)) return "round trip changed the tree";
    if (std::string error = WriteAll(third, thrice); !error.empty()) return error;
    if (thrice != twice) return "round trip changed the bytes";
    third.Sort();
    if (third.Count() != second.Count()) return "sorting changed the item count";
    return {};
}

}  // namespace ca::fuzz
