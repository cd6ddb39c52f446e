// The options import against the floor of its registry calls, run under
// Wine in the build's prefix (run-import-bench.sh). Measured side by side in
// one run, each the median of the repetitions:
//
//   ImportOpt_run into a root that does not exist yet, against a bare loop
//   of the same RegCreateKeyExA + RegSetValueExA (+ RegCloseKey) calls and
//   against "reg import" of the same settings as a .reg file;
//   ImportOpt_run over an existing tree of the same size, against a bare
//   loop of the RegDeleteKeyA calls that remove it and the write calls;
//   the same two with the installation's switch, the run keeping the
//   previous settings for ImportOpt_commit, which then deletes them;
//   the registry calls per item written, counted through the platform table.
//
// Usage: import_bench [--keys N] [--values-per-key V] [--reps R] [--quick] [--breakdown]
#include "actions/action.h"
#include "options/codec/byte_order.h"
#include "options/codec/options_file.h"
#include "runtime/text.h"
#include "options/codec/registry_encoding.h"
#include "runtime/handles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" UINT __stdcall ImportOpt_run(MSIHANDLE);
extern "C" UINT __stdcall ImportOpt_commit(MSIHANDLE);

namespace {

using namespace ca;

const char kRoot[] = "Software\\CustActionBench";
const char kProfiles[] = "Software\\CustActionBench\\Profiles";

// ------------------------------------------------------------- the settings

// One key of the tree, in the order the import writes them (pre-order).
struct KeyNode {
    std::string path;  // below the profiles key; "" for the key itself
    std::string name;  // last segment
    int parent;        // index of the parent key; -1 for the profiles key
    int depth;
    struct Value {
        std::string name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    std::vector<Value> values;
};

// `keys` keys of `perKey` values each: the profiles key, profiles below it,
// groups below each profile.
Pack BuildSettings(int keys, int perKey, int variant) {
    auto fill = [&](Pack& pack, int key) {
        for (int v = 0; v < perKey; ++v) {
            const std::string name = "Value " + std::to_string(v);
            const int seed = key * 31 + v + variant * 7;
            switch (v % 5) {
                case 0:
                case 1:
                    pack.Add(std::make_unique<PackItem>(name.c_str(), seed));
                    break;
                case 2:
                case 3: {
                    const std::string text = "setting " + std::to_string(seed) + " of the profile";
                    pack.Add(std::make_unique<PackItem>(name.c_str(), text.c_str()));
                    break;
                }
                default: {
                    uint8_t bytes[16];
                    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(seed + i);
                    pack.Add(std::make_unique<PackItem>(name.c_str(), bytes, 16, false));
                    break;
                }
            }
        }
    };
    const int groupsPerProfile = 19;
    Pack root;
    fill(root, 0);
    int made = 1;
    for (int p = 0; made < keys; ++p) {
        Pack profile;
        fill(profile, made++);
        for (int g = 0; g < groupsPerProfile && made < keys; ++g) {
            Pack group;
            fill(group, made++);
            profile.Add(std::make_unique<PackItem>(("Group " + std::to_string(g)).c_str(), group));
        }
        root.Add(std::make_unique<PackItem>(("Profile " + std::to_string(p)).c_str(), profile));
    }
    return root;
}

void Flatten(const Pack& pack, const std::string& path, const std::string& name, int parent, int depth,
             std::vector<KeyNode>& out) {
    const int index = static_cast<int>(out.size());
    out.push_back({path, name, parent, depth, {}});
    for (const PackItem* item = pack.First(); item; item = item->Next()) {
        if (item->Type() == kPackItemPack) continue;
        KeyNode::Value value{RegistryValueName(*item), 0, {}};
        EncodeRegistryValue(*item, pack.Mode(), nullptr, 0, value.type, value.data);
        out[index].values.push_back(std::move(value));
    }
    for (const PackItem* item = pack.First(); item; item = item->Next()) {
        if (item->Type() != kPackItemPack) continue;
        const std::string below = path.empty() ? item->Name() : path + "\\" + item->Name();
        Flatten(*item->NestedPack(0), below, item->Name(), index, depth + 1, out);
    }
}

// The import writes a key's values before its subkeys; so does the bare loop.
std::vector<KeyNode> Keys(const Pack& pack) {
    std::vector<KeyNode> keys;
    Flatten(pack, "", "", -1, 0, keys);
    return keys;
}

// ------------------------------------------------------------ the contenders

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "import_bench: %s\n", what.c_str());
    std::exit(1);
}

void RemoveRoot() {
    RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
    RegDeleteKeyA(HKEY_CURRENT_USER, kRoot);
}

// The floor: every key created below its parent's handle, its values set,
// the handle closed once its subkeys are written.
void BareWrite(const std::vector<KeyNode>& keys) {
    std::vector<HKEY> open(keys.size(), nullptr);
    std::vector<int> stack;
    for (size_t i = 0; i < keys.size(); ++i) {
        const KeyNode& key = keys[i];
        while (!stack.empty() && keys[stack.back()].depth >= key.depth) {
            RegCloseKey(open[stack.back()]);
            stack.pop_back();
        }
        const HKEY parent = key.parent < 0 ? HKEY_CURRENT_USER : open[key.parent];
        const char* name = key.parent < 0 ? kProfiles : key.name.c_str();
        if (RegCreateKeyExA(parent, name, 0, nullptr, 0, 0x2001F, nullptr, &open[i], nullptr) != ERROR_SUCCESS)
            Die("RegCreateKeyExA failed");
        for (const auto& value : key.values) {
            if (RegSetValueExA(open[i], value.name.c_str(), 0, value.type, value.data.data(),
                               static_cast<DWORD>(value.data.size())) != ERROR_SUCCESS)
                Die("RegSetValueExA failed");
        }
        stack.push_back(static_cast<int>(i));
    }
    for (int i : stack) RegCloseKey(open[i]);
}

// The floor of a removal: each key deleted by its path, deepest first.
void BareDelete(const std::vector<KeyNode>& keys) {
    for (size_t i = keys.size(); i-- > 0;) {
        const std::string path = keys[i].path.empty() ? std::string(kProfiles) : std::string(kProfiles) + "\\" + keys[i].path;
        if (RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS) Die("RegDeleteKeyA failed: " + path);
    }
}

std::string g_parameters;
bool g_failed = false;

UINT WINAPI BenchGetProperty(MSIHANDLE, LPCSTR, LPSTR buffer, LPDWORD size) {
    if (*size <= g_parameters.size()) {
        *size = static_cast<DWORD>(g_parameters.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, g_parameters.c_str(), g_parameters.size() + 1);
    *size = static_cast<DWORD>(g_parameters.size());
    return ERROR_SUCCESS;
}

UINT WINAPI BenchSetProperty(MSIHANDLE, LPCSTR name, LPCSTR value) {
    g_failed = true;
    std::fprintf(stderr, "import_bench: %s = %s\n", name, value);
    return ERROR_SUCCESS;
}

void Import() {
    ImportOpt_run(1);
    if (g_failed) Die("ImportOpt_run failed");
}

// The run kept for the installation, and the installation's commit.
void ImportAndCommit() {
    const std::string plain = g_parameters;
    g_parameters = plain + "|{0C8E2A57-3B1D-4F6A-9E72-5D4B8C1A3F60}";
    ImportOpt_run(1);
    ImportOpt_commit(1);
    g_parameters = plain;
    if (g_failed) Die("ImportOpt_run failed");
    HKEY journal = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kProfiles) + "~CA2Q7.1journal").c_str(), 0, KEY_READ, &journal) ==
        ERROR_SUCCESS) {
        RegCloseKey(journal);
        Die("ImportOpt_commit left the journal");
    }
}

void RegImport(const std::string& regFile) {
    std::string command = "reg.exe import \"" + regFile + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        Die("reg.exe did not start");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (exitCode != 0) Die("reg import failed");
}

// The same settings as a .reg file of the kind "reg export" writes.
std::string RegText(const std::vector<KeyNode>& keys) {
    std::string text = "REGEDIT4\r\n";
    char hex[4];
    for (const KeyNode& key : keys) {
        text += "\r\n[HKEY_CURRENT_USER\\" + std::string(kProfiles) + (key.path.empty() ? "" : "\\" + key.path) + "]\r\n";
        for (const auto& value : key.values) {
            text += value.name.empty() ? "@" : "\"" + value.name + "\"";
            text += "=";
            if (value.type == REG_DWORD) {
                char number[16];
                std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(LoadLittle32(value.data.data())));
                text += number;
            } else if (value.type == REG_SZ) {
                text += "\"";
                for (size_t i = 0; i + 1 < value.data.size(); ++i) {
                    const char c = static_cast<char>(value.data[i]);
                    if (c == '\\' || c == '"') text += '\\';
                    text += c;
                }
                text += "\"";
            } else {
                text += value.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(value.type) + "):";
                for (size_t i = 0; i < value.data.size(); ++i) {
                    std::snprintf(hex, sizeof hex, i ? ",%02x" : "%02x", value.data[i]);
                    text += hex;
                }
            }
            text += "\r\n";
        }
    }
    return text;
}

// ----------------------------------------------------------- call counting

struct Counts {
    long total = 0;
    long closes = 0;
    // Per entry: calls and seconds spent in them.
    std::vector<std::pair<const char*, std::pair<long, double>>> entries;
};
Counts g_counts;
Platform g_real;

template <auto Slot>
constexpr bool kCloses = false;
template <>
constexpr bool kCloses<&Platform::RegCloseKey> = true;

template <auto Slot, typename F>
struct Counted;
template <auto Slot, typename R, typename... A>
struct Counted<Slot, R(WINAPI*)(A...)> {
    static inline size_t entry = 0;
    static R WINAPI Call(A... args) {
        ++g_counts.total;
        if constexpr (kCloses<Slot>) ++g_counts.closes;
        const double start = Now();
        const R result = (g_real.*Slot)(args...);
        auto& [calls, seconds] = g_counts.entries[entry].second;
        ++calls;
        seconds += Now() - start;
        return result;
    }
};

template <auto Slot>
void Count(const char* name) {
    using F = std::remove_reference_t<decltype(Os().*Slot)>;
    Counted<Slot, F>::entry = g_counts.entries.size();
    g_counts.entries.push_back({name, {0, 0.0}});
    Os().*Slot = &Counted<Slot, F>::Call;
}

Counts CountCalls(const std::function<void()>& run) {
    g_real = Os();
    g_counts = {};
    Count<&Platform::RegOpenKeyExA>("RegOpenKeyExA");
    Count<&Platform::RegCreateKeyExA>("RegCreateKeyExA");
    Count<&Platform::RegQueryValueExA>("RegQueryValueExA");
    Count<&Platform::RegSetValueExA>("RegSetValueExA");
    Count<&Platform::RegEnumKeyExA>("RegEnumKeyExA");
    Count<&Platform::RegEnumValueA>("RegEnumValueA");
    Count<&Platform::RegQueryInfoKeyA>("RegQueryInfoKeyA");
    Count<&Platform::RegDeleteKeyA>("RegDeleteKeyA");
    Count<&Platform::RegRenameKey>("RegRenameKey");
    Count<&Platform::RegDeleteValueA>("RegDeleteValueA");
    Count<&Platform::RegOpenKeyExW>("RegOpenKeyExW");
    Count<&Platform::RegEnumKeyExW>("RegEnumKeyExW");
    Count<&Platform::RegQueryInfoKeyW>("RegQueryInfoKeyW");
    Count<&Platform::RegDeleteKeyW>("RegDeleteKeyW");
    Count<&Platform::RegDeleteTreeW>("RegDeleteTreeW");
    Count<&Platform::RegCloseKey>("RegCloseKey");
    run();
    Os() = g_real;
    return g_counts;
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int keyCount = 2000, perKey = 10, reps = 3;
    bool breakdown = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            keyCount = 200;
            reps = 1;
        } else if (arg == "--breakdown") {
            breakdown = true;
        } else if (arg == "--keys" && i + 1 < argc) {
            keyCount = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--values-per-key" && i + 1 < argc) {
            perKey = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--keys N] [--values-per-key V] [--reps R] [--quick] [--breakdown]\n", argv[0]);
            return 2;
        }
    }

    const Pack settings = BuildSettings(keyCount, perKey, 0);
    const Pack previous = BuildSettings(keyCount, perKey, 1);
    const std::vector<KeyNode> keys = Keys(settings);
    const std::vector<KeyNode> previousKeys = Keys(previous);
    long values = 0;
    for (const KeyNode& key : keys) values += static_cast<long>(key.values.size());
    const long items = values + static_cast<long>(keys.size()) - 1 + 3;  // subkey items; the version record

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string optionsFile = std::string(temp) + "import_bench.opts";
    const std::string regFile = std::string(temp) + "import_bench.reg";
    const std::vector<uint8_t> file = BuildOptionsFile({"QVRXOPTSCA01", 1, 5, 9, 1}, &settings);
    const std::string reg = RegText(keys);
    for (const auto& [path, bytes] : {std::pair{optionsFile, std::string(file.begin(), file.end())}, std::pair{regFile, reg}}) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
            Die("cannot write " + path);
    }
    g_parameters = "bench;0;5;9;1;CA;01;" + std::string(kRoot) + ";;" + optionsFile + ";";
    Os().MsiGetPropertyA = &BenchGetProperty;
    Os().MsiSetPropertyA = &BenchSetProperty;

    auto timed = [](const std::function<void()>& prepare, const std::function<void()>& run) {
        prepare();
        Sleep(200);  // let the server settle after the preparation
        const double start = Now();
        run();
        return Now() - start;
    };
    auto fresh = [] { RemoveRoot(); };
    auto existing = [&] {
        RemoveRoot();
        BareWrite(previousKeys);
    };

    std::vector<double> bare, ours, regImport, bareReplace, oursReplace, oursKept, oursKeptReplace;
    for (int r = 0; r < reps; ++r) {
        bare.push_back(timed(fresh, [&] { BareWrite(keys); }));
        ours.push_back(timed(fresh, Import));
        regImport.push_back(timed(fresh, [&] { RegImport(regFile); }));
        bareReplace.push_back(timed(existing, [&] {
            BareDelete(previousKeys);
            BareWrite(keys);
        }));
        oursReplace.push_back(timed(existing, Import));
        oursKept.push_back(timed(fresh, ImportAndCommit));
        oursKeptReplace.push_back(timed(existing, ImportAndCommit));
    }
    fresh();
    const Counts created = CountCalls(Import);
    existing();
    const Counts replaced = CountCalls(Import);
    RemoveRoot();
    DeleteFileA(optionsFile.c_str());
    DeleteFileA(regFile.c_str());

    const double b = Median(bare), o = Median(ours), g = Median(regImport), br = Median(bareReplace),
                 orp = Median(oursReplace), ok = Median(oursKept), okr = Median(oursKeptReplace);
    std::printf("options import: %zu keys, %ld values, %ld items written; median of %d run(s), seconds\n",
                keys.size(), values, items, reps);
    std::printf("%-44s %9s %11s %7s  %s\n", "measure", "ours", "comparison", "ratio", "goal");
    std::printf("%-44s %9.3f %11.3f %7.3f  %s\n", "new root: ImportOpt_run / bare create+set", o, b, o / b, "<= 1.10");
    std::printf("%-44s %9.3f %11.3f %7.3f  %s\n", "new root: ImportOpt_run / reg import", o, g, o / g, "<= 1.00");
    std::printf("%-44s %9.3f %11.3f %7.3f  %s\n", "replace: ImportOpt_run / bare delete+create+set", orp, br,
                orp / br, "<= 1.10");
    std::printf("%-44s %9.3f %11.3f %7.3f  %s\n", "new root, kept + commit / bare create+set", ok, b, ok / b,
                "<= 1.10");
    std::printf("%-44s %9.3f %11.3f %7.3f  %s\n", "replace, kept + commit / bare delete+write", okr, br, okr / br,
                "<= 1.10");
    std::printf("%-44s %9.3f %11s %7s  %s\n", "registry calls per item, new root", double(created.total - created.closes) / items,
                "", "", "<= 1.05 (without RegCloseKey)");
    std::printf("%-44s %9.3f %11s %7s  %s\n", "  with RegCloseKey", double(created.total) / items, "", "", "");
    std::printf("%-44s %9.3f %11s %7s  %s\n", "registry calls per item, replacement", double(replaced.total - replaced.closes) / items,
                "", "", "(without RegCloseKey)");
    std::printf("%-44s %9.3f %11s %7s  %s\n", "  with RegCloseKey", double(replaced.total) / items, "", "", "");
    // The same figures for the benchmark report (scripts/bench.sh).
    const auto line = [](const char* name, const std::string& ours, const std::string& comparison, double ratio,
                         double goal, bool atMost) {
        std::printf("BENCH\t%s\t%s\t%s\t%.3fx\t%s %.2fx\t%s\n", name, ours.c_str(), comparison.c_str(), ratio,
                    atMost ? "<=" : ">=", goal, (atMost ? ratio <= goal : ratio >= goal) ? "met" : "missed");
    };
    const auto seconds = [](double s) { return StringPrintf("%.3f s", s); };
    line("ImportOpt_run, new root, vs bare create+set loop", seconds(o), seconds(b), o / b, 1.10, true);
    line("ImportOpt_run, new root, vs reg import", seconds(o), seconds(g), o / g, 1.00, true);
    line("ImportOpt_run, replacing, vs bare delete+write loop", seconds(orp), seconds(br), orp / br, 1.10, true);
    line("ImportOpt_run kept + ImportOpt_commit, new root, vs bare create+set loop", seconds(ok), seconds(b), ok / b,
         1.10, true);
    line("ImportOpt_run kept + ImportOpt_commit, replacing, vs bare delete+write loop", seconds(okr), seconds(br),
         okr / br, 1.10, true);
    const double perItem = double(created.total - created.closes) / items;
    std::printf("BENCH\tregistry calls per item written (closes apart: %.3f with)\t%.3f\t-\t-\t<= 1.05\t%s\n",
                double(created.total) / items, perItem, perItem <= 1.05 ? "met" : "missed");
    if (breakdown) {
        for (const auto* counts : {&created, &replaced}) {
            std::printf("%s: registry calls and seconds in them\n", counts == &created ? "new root" : "replacement");
            for (const auto& [name, use] : counts->entries) {
                if (use.first) std::printf("  %-18s %8ld %9.3f\n", name, use.first, use.second);
            }
        }
    }
    return 0;
}
