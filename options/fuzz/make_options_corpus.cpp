// Writes the seed corpus of the options-file harness: options files as the
// application's export writes them, for the product "CA01" version 5.9, with
// settings of every item type, nesting, enciphered values, an empty table and
// an empty data block. Usage: make_options_corpus DIR
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/options_file.h"
#include "options/codec/pack.h"

namespace {

using ca::Pack;
using ca::PackBytes;
using ca::PackItem;

const char kSignature[] = "QVRXOPTSCA01";

bool Save(const std::string& directory, const char* name, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return false;
    std::FILE* f = std::fopen((directory + "/" + name).c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> File(const Pack* pack, int32_t major = 5, int32_t minor = 9, uint32_t format = 1) {
    return ca::BuildOptionsFile({kSignature, format, major, minor, 1234}, pack);
}

Pack Profile(int32_t mode) {
    static const uint8_t bytes[] = {'v', 'a', 'l', 'u', 'e', 0, 0xFF, 0x80, 0x10, 0x7F, 1, 2, 3};
    static const int32_t numbers[] = {0, -1, 2147483647, -2147483647 - 1};
    static const char* texts[] = {"one", "", "three", nullptr};
    static const PackBytes blocks[] = {{bytes, 0}, {bytes, 4}, {bytes, 13}, {nullptr, -1}};
    Pack profile;
    profile.SetMode(mode, false);
    profile.Add(std::make_unique<PackItem>("Name", "Standard"));
    profile.Add(std::make_unique<PackItem>("Hotkey", 0x41));
    profile.Add(std::make_unique<PackItem>("Margins", numbers, 4));
    profile.Add(std::make_unique<PackItem>("Recent", texts, 4));
    profile.Add(std::make_unique<PackItem>("Layout", bytes, 13, false));
    profile.Add(std::make_unique<PackItem>("Token", bytes, 5, true));
    profile.Add(std::make_unique<PackItem>("Tokens", blocks, 4, true));
    profile.Add(std::make_unique<PackItem>("", "default value"));
    return profile;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    Pack settings;
    settings.Add(std::make_unique<PackItem>("Profile 1", Profile(0)));
    settings.Add(std::make_unique<PackItem>("Profile 2", Profile(1)));
    Pack nested;
    nested.Add(std::make_unique<PackItem>("Window", Profile(1)));
    settings.Add(std::make_unique<PackItem>("Profile 3", nested));
    settings.Add(std::make_unique<PackItem>("Current", 2));
    ok &= Save(dir, "profiles.opts", File(&settings));
    ok &= Save(dir, "profiles-format0.opts", File(&settings, 5, 9, 0));

    const Pack single = Profile(1);
    ok &= Save(dir, "single-profile.opts", File(&single, 4, 2));
    ok &= Save(dir, "no-entries.opts", File(nullptr));
    Pack empty;
    ok &= Save(dir, "empty-pack.opts", File(&empty));

    // Entry 0's data block of size 0, and a table of three entries.
    std::vector<uint8_t> bytes = File(&single);
    bytes.resize(60);
    for (int i = 52; i < 56; ++i) bytes[i] = 0;
    ok &= Save(dir, "empty-data.opts", bytes);
    bytes = File(&settings);
    bytes[40] = 3;
    bytes.insert(bytes.begin() + 60, 24, 0);
    bytes.insert(bytes.end(), {'t', 'a', 'i', 'l'});
    ok &= Save(dir, "three-entries.opts", bytes);

    Pack deep;
    for (int level = 0; level < 30; ++level) {
        Pack outer;
        outer.Add(std::make_unique<PackItem>("Level", level));
        outer.Add(std::make_unique<PackItem>("Next", deep));
        deep.Clear();
        for (PackItem* item = outer.First(); item; item = item->Next()) deep.Add(std::make_unique<PackItem>(*item));
    }
    ok &= Save(dir, "deep.opts", File(&deep));

    if (!ok) {
        std::fprintf(stderr, "could not write the corpus to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
