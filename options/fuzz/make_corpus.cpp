// Writes the seed corpus of the pack harnesses: valid packs of every item
// type, arrays, nesting and enciphered values. Usage: make_pack_corpus DIR
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/pack.h"

namespace {

using ca::Pack;
using ca::PackBytes;
using ca::PackItem;

bool Save(const std::string& directory, const char* name, const Pack& pack) {
    std::vector<uint8_t> bytes(static_cast<size_t>(ca::PackSize(pack, nullptr, 0)));
    if (ca::WritePack(pack, bytes.data(), bytes.size(), nullptr, 0) != static_cast<int64_t>(bytes.size())) return false;
    std::FILE* f = std::fopen((directory + "/" + name).c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::unique_ptr<Pack> Scalars(int32_t mode) {
    static const uint8_t bytes[] = {'v', 'a', 'l', 'u', 'e', 0, 0xFF, 0x80, 0x10, 0x7F, 1, 2, 3};
    auto pack = std::make_unique<Pack>();
    pack->SetMode(mode, false);
    pack->Add(std::make_unique<PackItem>("Count", 12345));
    pack->Add(std::make_unique<PackItem>("Path", "C:\\Program Files\\App"));
    pack->Add(std::make_unique<PackItem>("Blob", bytes, 13, false));
    pack->Add(std::make_unique<PackItem>("Secret", bytes, 5, true));
    pack->Add(std::make_unique<PackItem>("", "default value"));
    return pack;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    Pack empty;
    ok &= Save(dir, "empty-mode0.pack", empty);
    empty.SetMode(1, false);
    ok &= Save(dir, "empty-mode1.pack", empty);
    ok &= Save(dir, "scalars-mode0.pack", *Scalars(0));
    ok &= Save(dir, "scalars-mode1.pack", *Scalars(1));

    static const uint8_t data[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const int32_t numbers[] = {0, -1, 2147483647, -2147483647 - 1, 10};
    const char* texts[] = {"one", "", "three", nullptr};
    const PackBytes blocks[] = {{data, 0}, {data, 3}, {data, 4}, {data, 5}, {data, 12}, {data, 17}, {nullptr, -1}};
    for (int32_t mode : {0, 1}) {
        Pack arrays;
        arrays.SetMode(mode, false);
        arrays.Add(std::make_unique<PackItem>("ints", numbers, 5));
        arrays.Add(std::make_unique<PackItem>("texts", texts, 4));
        arrays.Add(std::make_unique<PackItem>("bins", blocks, 7, false));
        arrays.Add(std::make_unique<PackItem>("binxs", blocks, 7, true));
        ok &= Save(dir, mode ? "arrays-mode1.pack" : "arrays-mode0.pack", arrays);
    }

    // Nesting: profiles with settings, an array of packs, mixed modes.
    auto leaf = Scalars(1);
    Pack profile;
    profile.SetMode(1, false);
    profile.Add(std::make_unique<PackItem>("Settings", *leaf));
    profile.Add(std::make_unique<PackItem>("Hotkey", 0x41));
    const Pack* both[] = {leaf.get(), &profile};
    Pack root;
    root.Add(std::make_unique<PackItem>("Profile 1", profile));
    root.Add(std::make_unique<PackItem>("Profile 2", profile));
    root.Add(std::make_unique<PackItem>("Pair", both, 2));
    root.Add(std::make_unique<PackItem>("Version", 3));
    ok &= Save(dir, "nested.pack", root);
    root.SetMode(1, true);
    ok &= Save(dir, "nested-enciphered.pack", root);

    Pack deep;
    for (int level = 0; level < 40; ++level) {
        Pack outer;
        outer.Add(std::make_unique<PackItem>("level", level));
        outer.Add(std::make_unique<PackItem>("next", deep));
        deep.Clear();
        for (PackItem* item = outer.First(); item; item = item->Next()) deep.Add(std::make_unique<PackItem>(*item));
    }
    ok &= Save(dir, "deep.pack", deep);

    // Forms the writer does not produce but the reader accepts: a repeated
    // name, mode 2 without binx values, lengths of 0 or less, an empty pack
    // item.
    static const uint8_t odd[] = {
        0, 0, 0, 5, 0, 0, 0, 2,                               // 5 items, mode 2
        0, 0, 0, 1, 0, 0, 0, 1, 'a', 0, 0, 0, 0, 1,           // int a = 1
        0, 0, 0, 3, 0, 0, 0, 2, 'b', 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF7,  // bin b, lengths 0 and -9
        0, 0, 0, 0, 0, 0, 0, 0, 'p', 0,                       // pack p without packs
        0, 0, 0, 5, 0, 0, 0, 0, 'x', 0,                       // binx x without values
        0, 0, 0, 1, 0, 0, 0, 1, 'a', 0, 0, 0, 0, 2,           // int a = 2 replaces the first
    };
    if (std::FILE* f = std::fopen((dir + "/odd-forms.pack").c_str(), "wb")) {
        ok &= std::fwrite(odd, 1, sizeof odd, f) == sizeof odd;
        ok &= std::fclose(f) == 0;
    } else {
        ok = false;
    }

    if (!ok) {
        std::fprintf(stderr, "could not write the corpus to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
