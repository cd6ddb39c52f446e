#include "options/custopts/custopts.h"

#include <climits>
#include <cstdlib>

#include "options/custopts/import_check.h"
#include "options/custopts/options_json.h"
#include "options/custopts/reg_text.h"
#include "options/custopts/tool_file.h"
#include "options/codec/registry_encoding.h"
#include "runtime/text.h"

namespace ca::custopts {

namespace {

constexpr char kUsage[] =
    "usage: custopts COMMAND ARGUMENTS\n"
    "  show FILE                                        the header fields and the settings as text\n"
    "  check FILE --product XXXX --version MAJOR.MINOR [--fallback FOLDER]\n"
    "                                                   the checks of ImportOpt_check, with its messages\n"
    "  to-reg FILE --root KEY                           the .reg text of what ImportOpt_run writes\n"
    "                                                   (KEY: HKCU\\path or HKLM\\path, the settings root)\n"
    "  to-json FILE                                     the options file as JSON\n"
    "  from-json JSON --out FILE                        an options file from JSON (JSON \"-\": standard input)\n";

// The messages keep the import's CR LF inside; the tool's own lines end in LF.
std::string Lines(std::string text) {
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
}

struct Arguments {
    std::string file;
    std::vector<std::pair<std::string, std::string>> options;

    const std::string* Option(const char* name) const {
        for (const auto& [key, value] : options) {
            if (key == name) return &value;
        }
        return nullptr;
    }
};

// FILE, then "--name value" pairs of the names allowed (all required but
// the optional ones).
bool ParseArguments(const std::vector<std::string>& args, std::initializer_list<const char*> names,
                    std::initializer_list<const char*> optional, Arguments& parsed, std::string& error) {
    const std::string& command = args[0];
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
            bool known = false;
            for (const char* name : names) known = known || arg == std::string("--") + name;
            for (const char* name : optional) known = known || arg == std::string("--") + name;
            if (!known) {
                error = command + ": unknown option " + arg;
                return false;
            }
            if (i + 1 >= args.size()) {
                error = command + ": " + arg + " needs a value";
                return false;
            }
            if (parsed.Option(arg.c_str() + 2) != nullptr) {
                error = command + ": " + arg + " is given twice";
                return false;
            }
            parsed.options.emplace_back(arg.substr(2), args[++i]);
        } else if (parsed.file.empty() && !arg.empty()) {
            parsed.file = arg;
        } else {
            error = command + ": unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    if (parsed.file.empty()) {
        error = command + ": the file is missing";
        return false;
    }
    for (const char* name : names) {
        if (parsed.Option(name) == nullptr) {
            error = command + ": --" + name + " is missing";
            return false;
        }
    }
    return true;
}

// "MAJOR.MINOR", each a whole number in the 32-bit range.
bool ParseVersion(const std::string& text, int32_t& major, int32_t& minor) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    auto number = [](const std::string& part, int32_t& value) {
        if (part.empty() || part.size() > 11) return false;
        size_t i = part[0] == '-' ? 1 : 0;
        if (i == part.size()) return false;
        for (; i < part.size(); ++i) {
            if (part[i] < '0' || part[i] > '9') return false;
        }
        const long long parsed = std::strtoll(part.c_str(), nullptr, 10);
        if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
        value = static_cast<int32_t>(parsed);
        return true;
    };
    return number(text.substr(0, dot), major) && number(text.substr(dot + 1), minor);
}

// The bytes of a signature as text: control bytes escaped.
std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? StringPrintf("\\x%02X", byte) : AnsiToUtf8(std::string_view(&c, 1));
    }
    return out;
}

// Reads a file whatever its product and version; false (with the message
// in `err`) when its layout is unsound.
bool ReadAnyOptionsFile(const std::string& path, CheckResult& result, std::string& err) {
    result = CheckAsImport(path, AnyProductFor(path), ToolImportTexts());
    if (result.accepted) return true;
    const ImportRefusal& r = result.refusal;
    err += StringPrintf("custopts: %s is not a readable options file (Code: %d Point: %s)\n%s\n", path.c_str(),
                        static_cast<int>(r.code), r.point.c_str(), Lines(r.text).c_str());
    return false;
}

std::string HeaderText(const std::string& path, const OptionsFileContent& content) {
    const std::string signature(reinterpret_cast<const char*>(content.header), kOptionsSignatureSize);
    std::string out;
    out += "File:            " + path + "\n";
    out += "Signature:       " + Printable(signature) + " (product \"" + Printable(signature.substr(8)) + "\")\n";
    out += StringPrintf("Format version:  %u\n", content.FormatVersion());
    out += StringPrintf("Options version: %d.%d, build %d\n", static_cast<int>(content.MajorVersion()),
                        static_cast<int>(content.MinorVersion()), static_cast<int>(content.BuildNumber()));
    out += StringPrintf("Table entries:   %u\n", content.EntryCount());
    const uint32_t v = content.PackedVersion();
    out += StringPrintf("Version record:  MajorVer %u, MinorVer %u, NumbBuild %u\n", v >> 24, (v >> 16) & 0xFFu,
                        v & 0xFFFFu);
    return out;
}

int Show(const Arguments& a, std::string& out, std::string& err) {
    CheckResult result;
    if (!ReadAnyOptionsFile(a.file, result, err)) return kExitRefused;
    out += HeaderText(a.file, result.content);
    if (!result.content.pack) {
        out += "\nNo settings: the table has no entries.\n";
        return kExitOk;
    }
    out += "\n" + Lines(RenderPackText(*result.content.pack, 0));
    return kExitOk;
}

int Check(const Arguments& a, std::string& out, std::string& err) {
    const std::string& product = *a.Option("product");
    OptionsProduct expected;
    if (product.size() != 4) {
        err += "check: --product takes the 4 product characters of the signature, not \"" + product + "\"\n";
        return kExitUsage;
    }
    if (!ParseVersion(*a.Option("version"), expected.majorVersion, expected.minorVersion)) {
        err += "check: --version takes MAJOR.MINOR (for example 5.9), not \"" + *a.Option("version") + "\"\n";
        return kExitUsage;
    }
    expected.signature = "QVRXOPTS" + product;
    // Without a fallback folder the file is checked as given.
    const std::string* fallback = a.Option("fallback");
    const std::string path = fallback ? ImportedPath(a.file, *fallback) : a.file;
    const CheckResult result = CheckAsImport(path, expected, ToolImportTexts());
    if (result.accepted) {
        const OptionsFileContent& c = result.content;
        out += StringPrintf("%s: accepted by the import (options %d.%d, build %d; ", path.c_str(),
                            static_cast<int>(c.MajorVersion()), static_cast<int>(c.MinorVersion()),
                            static_cast<int>(c.BuildNumber()));
        out += c.pack ? StringPrintf("settings of %d items)\n", static_cast<int>(c.pack->Count()))
                      : std::string("no settings: ImportOpt_run writes only the version record)\n");
        if (c.pack && ValidateForRegistry(*c.pack) != 0) {
            out += StringPrintf(
                "Note: ImportOpt_run refuses these settings (Code: 13 Point: %s:%s): an item has no name, or a pack "
                "item holds more than one pack.\n",
                kRunWorkerPoint, kSaveProfilesPoint);
        }
        return kExitOk;
    }
    const PublishedRefusal published =
        PublishedByCheck(result.refusal, a.file, fallback ? *fallback : std::string(), ToolImportTexts());
    out += path + ": refused by the import\n";
    out += "CA_ERROR_CODE: " + published.errorCode + "\n";
    out += "CA_ERROR_TEXT:\n" + Lines(published.errorText) + "\n";
    out += "kwinst.log:\n";
    for (size_t i = 0; i < published.logRecords.size(); ++i)
        out += "[" + std::to_string(i + 1) + "] " + Lines(published.logRecords[i]) + "\n";
    return kExitRefused;
}

int ToReg(const Arguments& a, std::string& out, std::string& err) {
    SettingsRoot root;
    std::string error;
    if (!ParseSettingsRoot(*a.Option("root"), root, error)) {
        err += "to-reg: " + error + "\n";
        return kExitUsage;
    }
    CheckResult result;
    if (!ReadAnyOptionsFile(a.file, result, err)) return kExitRefused;
    std::string text;
    if (!ImportRegText(result.content, root, text, error)) {
        err += "custopts: " + a.file + ": " + error + "\n";
        return kExitRefused;
    }
    out += text;
    return kExitOk;
}

int ToJson(const Arguments& a, std::string& out, std::string& err) {
    CheckResult result;
    if (!ReadAnyOptionsFile(a.file, result, err)) return kExitRefused;
    out += OptionsJson(result.content);
    return kExitOk;
}

int FromJson(const Arguments& a, std::string&, std::string& err) {
    std::string text, error;
    if (!ReadWholeFile(a.file, text, error)) {
        err += "custopts: " + error + "\n";
        return kExitRefused;
    }
    OptionsDocument document;
    if (!ParseOptionsJson(text, document, error)) {
        err += "custopts: " + a.file + ": " + error + "\n";
        return kExitRefused;
    }
    for (const std::string& warning : document.warnings) err += "custopts: warning: " + warning + "\n";
    const std::vector<uint8_t> bytes = BuildOptionsFile(document);
    if (bytes.empty()) {
        err += "custopts: " + a.file + ": the settings are too large for an options file\n";
        return kExitRefused;
    }
    if (!WriteReplacing(*a.Option("out"), bytes, error)) {
        err += "custopts: " + error + "\n";
        return kExitRefused;
    }
    return kExitOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) += kUsage;
        return args.empty() ? kExitUsage : kExitOk;
    }
    struct Command {
        const char* name;
        std::initializer_list<const char*> options;
        std::initializer_list<const char*> optional;
        int (*run)(const Arguments&, std::string&, std::string&);
    };
    static const Command kCommands[] = {
        {"show", {}, {}, &Show},
        {"check", {"product", "version"}, {"fallback"}, &Check},
        {"to-reg", {"root"}, {}, &ToReg},
        {"to-json", {}, {}, &ToJson},
        {"from-json", {"out"}, {}, &FromJson},
    };
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        Arguments parsed;
        std::string error;
        if (!ParseArguments(args, command.options, command.optional, parsed, error)) {
            err += error + "\n" + kUsage;
            return kExitUsage;
        }
        return command.run(parsed, out, err);
    }
    err += "custopts: unknown command \"" + args[0] + "\"\n" + kUsage;
    return kExitUsage;
}

}  // namespace ca::custopts
