// Throughput of the DES transform (against libcrypto's DES-ECB in the same
// run) and of the pack reader (against memcpy of the same bytes).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "options/codec/cipher.h"
#include "options/codec/options_file.h"
#include "options/codec/pack.h"

#include <cstdio>
#include <unistd.h>

namespace {

const uint8_t kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

std::vector<uint8_t> RandomBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

void BM_Encipher(benchmark::State& state) {
    const auto in = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        ca::EncipherBlocks(in.data(), out.data(), kKey, static_cast<int32_t>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Encipher)->Arg(64)->Arg(64 << 10);

void BM_Decipher(benchmark::State& state) {
    const auto in = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        ca::DecipherBlocks(in.data(), out.data(), kKey, static_cast<int32_t>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Decipher)->Arg(64 << 10);

// libcrypto's DES-ECB, key schedule included as in our call.
void BM_OpenSslDesEcb(benchmark::State& state) {
    auto in = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        DES_cblock key;
        std::memcpy(key, kKey, 8);
        DES_key_schedule schedule;
        DES_set_key_unchecked(&key, &schedule);
        for (size_t i = 0; i < in.size(); i += 8) {
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(in.data() + i), reinterpret_cast<DES_cblock*>(out.data() + i),
                            &schedule, DES_ENCRYPT);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_OpenSslDesEcb)->Arg(64)->Arg(64 << 10);

// The same through EVP with the legacy provider.
void BM_OpenSslEvpDesEcb(benchmark::State& state) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* base = OSSL_PROVIDER_load(nullptr, "default");
    EVP_CIPHER* cipher = legacy && base ? EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr) : nullptr;
    if (!cipher) {
        state.SkipWithError("DES-ECB not available from the legacy provider");
        return;
    }
    const auto in = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size() + 8);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int written = 0;
        EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, out.data(), &written, in.data(), static_cast<int>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_OpenSslEvpDesEcb)->Arg(64)->Arg(64 << 10);

std::vector<uint8_t> Serialize(const ca::Pack& pack) {
    std::vector<uint8_t> bytes(static_cast<size_t>(ca::PackSize(pack, nullptr, 0)));
    ca::WritePack(pack, bytes.data(), bytes.size(), nullptr, 0);
    return bytes;
}

// 1024 byte blocks of 64 KiB: a 64 MiB pack.
const std::vector<uint8_t>& BlobHeavy() {
    static const std::vector<uint8_t> bytes = [] {
        const auto blob = RandomBytes(64 << 10);
        ca::Pack pack;
        for (int i = 0; i < 1024; ++i) {
            pack.Add(std::make_unique<ca::PackItem>(("blob" + std::to_string(i)).c_str(), blob.data(),
                                                    static_cast<int32_t>(blob.size()), false));
        }
        return Serialize(pack);
    }();
    return bytes;
}

void BM_DecodeBlobHeavy(benchmark::State& state) {
    const auto& bytes = BlobHeavy();
    // Untimed first decodes: the timed ones then reuse memory the process
    // already has, as a long run does, instead of timing its first touch.
    for (int warm = 0; warm < 2; ++warm) {
        ca::Pack pack;
        benchmark::DoNotOptimize(ca::ReadPack(pack, bytes.data(), bytes.size(), nullptr, 0));
    }
    for (auto _ : state) {
        ca::Pack pack;
        benchmark::DoNotOptimize(ca::ReadPack(pack, bytes.data(), bytes.size(), nullptr, 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeBlobHeavy)->Unit(benchmark::kMillisecond);

void BM_MemcpyBlobHeavy(benchmark::State& state) {
    const auto& bytes = BlobHeavy();
    std::vector<uint8_t> copy(bytes.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MemcpyBlobHeavy)->Unit(benchmark::kMillisecond);

// Settings-like tree: 2000 profiles of 50 values each, plus the profile
// items themselves (102,001 items in all).
struct ItemHeavy {
    std::vector<uint8_t> bytes;
    int64_t items = 0;
};

const ItemHeavy& ItemHeavyPack() {
    static const ItemHeavy heavy = [] {
        ItemHeavy out;
        ca::Pack root;
        for (int p = 0; p < 2000; ++p) {
            ca::Pack profile;
            for (int v = 0; v < 50; ++v) {
                const std::string name = "Value" + std::to_string(v);
                if (v % 2)
                    profile.Add(std::make_unique<ca::PackItem>(name.c_str(), v * p));
                else
                    profile.Add(std::make_unique<ca::PackItem>(name.c_str(), "some setting text"));
            }
            root.Add(std::make_unique<ca::PackItem>(("Profile" + std::to_string(p)).c_str(), profile));
            out.items += 51;
        }
        root.Add(std::make_unique<ca::PackItem>("Version", 3));
        out.items += 1;
        out.bytes = Serialize(root);
        return out;
    }();
    return heavy;
}

void BM_DecodeItemHeavy(benchmark::State& state) {
    const auto& heavy = ItemHeavyPack();
    for (auto _ : state) {
        ca::Pack pack;
        benchmark::DoNotOptimize(ca::ReadPack(pack, heavy.bytes.data(), heavy.bytes.size(), nullptr, 0));
    }
    state.SetItemsProcessed(state.iterations() * heavy.items);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * heavy.bytes.size()));
}
BENCHMARK(BM_DecodeItemHeavy)->Unit(benchmark::kMillisecond);

// 65,536 item names of one pack, 80 characters each: random ones (0); names that all have the
// same FNV-1a hash from its standard offset, letter case folded (1); and the
// case variants of one name, which a tree comparing names byte for byte keeps
// apart (2). A hostile file may hold either of the last two.
uint32_t Fnv1a(uint32_t h, const std::string& text) {
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

std::vector<std::string> ItemNames(int kind) {
    // Every kind: names of 16 blocks of 5 characters.
    constexpr int kBits = 16;
    std::vector<std::string> names;
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937 random(5);
    if (kind == 0) {
        for (int i = 0; i < (1 << kBits); ++i) {
            std::string name(5 * kBits, ' ');
            for (char& c : name) c = alphabet[random() % 36];
            names.push_back(name);
        }
        return names;
    }
    // Two blocks per position that take the hash to the same state: any
    // choice of one block per position then gives the same hash.
    std::vector<std::pair<std::string, std::string>> blocks;
    uint32_t state = 2166136261u;
    for (int position = 0; position < kBits; ++position) {
        if (kind == 2) {
            blocks.emplace_back("aaaaa", "Aaaaa");
            continue;
        }
        std::unordered_map<uint32_t, std::string> seen;
        for (;;) {
            std::string block(5, ' ');
            for (char& c : block) c = alphabet[random() % 36];
            const uint32_t h = Fnv1a(state, block);
            const auto [at, added] = seen.emplace(h, block);
            if (!added && at->second != block) {
                blocks.emplace_back(at->second, block);
                state = h;
                break;
            }
        }
    }
    for (int i = 0; i < (1 << kBits); ++i) {
        std::string name;
        for (int position = 0; position < kBits; ++position)
            name += (i >> position) & 1 ? blocks[position].second : blocks[position].first;
        names.push_back(name);
    }
    return names;
}

const std::vector<uint8_t>& NamedItems(int kind) {
    static std::vector<uint8_t> bytes[3];
    if (bytes[kind].empty()) {
        ca::Pack pack;
        for (const std::string& name : ItemNames(kind)) pack.Add(std::make_unique<ca::PackItem>(name.c_str(), 1));
        bytes[kind] = Serialize(pack);
    }
    return bytes[kind];
}

void BM_DecodeNames(benchmark::State& state) {
    const auto& bytes = NamedItems(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ca::Pack pack;
        benchmark::DoNotOptimize(ca::ReadPack(pack, bytes.data(), bytes.size(), nullptr, 0));
    }
    state.SetItemsProcessed(state.iterations() * 65536);
}
BENCHMARK(BM_DecodeNames)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_EncodeItemHeavy(benchmark::State& state) {
    const auto& heavy = ItemHeavyPack();
    ca::Pack pack;
    ca::ReadPack(pack, heavy.bytes.data(), heavy.bytes.size(), nullptr, 0);
    std::vector<uint8_t> out(heavy.bytes.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(ca::WritePack(pack, out.data(), out.size(), nullptr, 0));
    }
    state.SetItemsProcessed(state.iterations() * heavy.items);
}
BENCHMARK(BM_EncodeItemHeavy)->Unit(benchmark::kMillisecond);

// A 1 MiB options file on disk: checked as the import checks it (header,
// table, the pack of settings) against only reading its bytes. The
// settings are 120 profiles of ten values and an 8 KiB block each; a second
// file of the same size holds small values only (about 26,000 items).
std::string OptionsFileOnDisk(bool smallValuesOnly) {
    static std::string paths[2];
    std::string& path = paths[smallValuesOnly];
    if (!path.empty()) return path;
    ca::Pack root;
    const auto blob = RandomBytes(8 << 10);
    for (int p = 0; root.Count() < 100000; ++p) {
        ca::Pack profile;
        for (int v = 0; v < 10; ++v) {
            const std::string name = "Value" + std::to_string(v);
            if (v % 2) profile.Add(std::make_unique<ca::PackItem>(name.c_str(), v * p));
            else profile.Add(std::make_unique<ca::PackItem>(name.c_str(), "some setting text"));
        }
        if (!smallValuesOnly)
            profile.Add(std::make_unique<ca::PackItem>("Layout", blob.data(), static_cast<int32_t>(blob.size()), false));
        root.Add(std::make_unique<ca::PackItem>(("Profile" + std::to_string(p)).c_str(), profile));
        if (ca::PackSize(root, nullptr, 0) >= (1 << 20) - 48) break;
    }
    const auto bytes = ca::BuildOptionsFile({"QVRXOPTSCA01", 1, 5, 9, 100}, &root);
    path = "/tmp/ca-options-bench-" + std::to_string(::getpid()) + (smallValuesOnly ? "-items" : "-mixed") + ".opts";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::atexit([] {
        for (const std::string& p : paths)
            if (!p.empty()) std::remove(p.c_str());
    });
    return path;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
    std::fclose(f);
    return bytes;
}

void BM_ReadOptionsFileBytes(benchmark::State& state) {
    const std::string path = OptionsFileOnDisk(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(ReadWholeFile(path));
}
BENCHMARK(BM_ReadOptionsFileBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The file read as the import reads it: header, table and data block from
// the open file.
class StdioOptionsSource : public ca::OptionsSource {
public:
    explicit StdioOptionsSource(std::FILE* f) : f_(f) {}
    uint64_t Length() override {
        const long at = std::ftell(f_);
        std::fseek(f_, 0, SEEK_END);
        const long end = std::ftell(f_);
        std::fseek(f_, at, SEEK_SET);
        return static_cast<uint64_t>(end);
    }
    uint32_t Read(void* buffer, uint32_t count) override {
        return static_cast<uint32_t>(std::fread(buffer, 1, count, f_));
    }

private:
    std::FILE* f_;
};

void ReadOptionsFileFromDisk(benchmark::State& state, ca::SettingsUse use) {
    const std::string path = OptionsFileOnDisk(state.range(0) != 0);
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        StdioOptionsSource source(f);
        ca::OptionsFileContent content;
        ca::OptionsFileFailure failure;
        if (!ca::ReadOptionsFile(source, {"QVRXOPTSCA01", 5, 9}, content, failure, use))
            state.SkipWithError("refused");
        std::fclose(f);
        benchmark::DoNotOptimize(content.pack.get());
    }
}

// As ImportOpt_check checks it: the settings checked, not read into memory.
void BM_CheckOptionsFile(benchmark::State& state) { ReadOptionsFileFromDisk(state, ca::SettingsUse::CheckOnly); }
BENCHMARK(BM_CheckOptionsFile)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// As ImportOpt_run reads it before writing: the settings tree built.
void BM_ReadOptionsFileSettings(benchmark::State& state) { ReadOptionsFileFromDisk(state, ca::SettingsUse::Read); }
BENCHMARK(BM_ReadOptionsFileSettings)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
