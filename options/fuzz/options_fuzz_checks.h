// Properties of the options-file checks and of the registry value encodings
// that every input must keep, shared by the fuzzing harness and the unit test
// that replays the corpus and the saved crash inputs. Each check returns an
// empty text, or a description of the broken property.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options/codec/options_file.h"
#include "options/codec/registry_encoding.h"

namespace ca::fuzz {

// The product the seed corpus was written for.
inline const OptionsProduct kFuzzProduct = {"QVRXOPTSCA01", 5, 9};

// An item read back from its registry form, written again and read again,
// is what the first reading gave.
inline std::string CheckEncodingSettles(const PackItem& item, int32_t mode) {
    uint32_t type = 0;
    std::vector<uint8_t> first, second;
    if (EncodeRegistryValue(item, mode, nullptr, 0, type, first) != 0)
        return (mode == 0 || mode == 1 || item.Type() != kPackItemBinx) ? "an item without a registry form" : "";
    std::unique_ptr<PackItem> once, twice;
    int32_t binxMode = 0;
    if (DecodeRegistryValue(item.Name(), type, first.data(), first.size(), nullptr, 0, once, binxMode) != 0 || !once)
        return "a written value does not read back";
    if (once->Type() != item.Type()) return "a written value reads back as another type";
    if (EncodeRegistryValue(*once, binxMode, nullptr, 0, type, second) != 0) return "a value read back cannot be written";
    if (DecodeRegistryValue(once->Name(), type, second.data(), second.size(), nullptr, 0, twice, binxMode) != 0 ||
        !twice || !ItemsEqual(*once, *twice, 1))
        return "a value read back changes when written again";
    return {};
}

inline std::string CheckPackEncodings(const Pack& pack) {
    for (const PackItem* item = pack.First(); item; item = item->Next()) {
        if (item->Type() == kPackItemPack) {
            for (int32_t i = 0; i < item->Count(); ++i) {
                if (std::string error = CheckPackEncodings(*item->NestedPack(i)); !error.empty()) return error;
            }
        } else if (std::string error = CheckEncodingSettles(*item, pack.Mode()); !error.empty()) {
            return error;
        }
    }
    return {};
}

// The bytes as the data of a value of every registry type.
inline std::string CheckDecoders(const uint8_t* data, size_t size) {
    for (uint32_t type : {kRegNone, kRegSz, kRegExpandSz, kRegBinary, kRegDword, kRegMultiSz, 11u}) {
        std::unique_ptr<PackItem> item;
        int32_t binxMode = -1;
        const int32_t rc = DecodeRegistryValue("v", type, data, size, nullptr, 0, item, binxMode);
        if (rc != 0 && rc != kEncodingInvalidData) return "decoder result out of range";
        if ((rc == 0) != (item != nullptr)) return "decoder result and item disagree";
        if (rc != 0 && type != kRegBinary) return "only a blob can be refused";
        if (binxMode != 0 && binxMode != 1) return "a binx mode the reader refuses";
        if (item) {
            if (std::string error = CheckEncodingSettles(*item, binxMode); !error.empty()) return error;
        }
    }
    return {};
}

inline std::string CheckOptionsFile(const uint8_t* data, size_t size) {
    MemoryOptionsSource source(data, size);
    OptionsFileContent content;
    OptionsFileFailure failure;
    const bool ok = ReadOptionsFile(source, kFuzzProduct, content, failure);
    if (ok != (failure.point == nullptr)) return "result and failure site disagree";
    {
        MemoryOptionsSource again(data, size);
        OptionsFileContent checkedContent;
        OptionsFileFailure checked;
        if (ReadOptionsFile(again, kFuzzProduct, checkedContent, checked, SettingsUse::CheckOnly) != ok ||
            (checked.point == nullptr) != (failure.point == nullptr) ||
            (checked.point && std::string(checked.point) != failure.point) || checked.code != failure.code ||
            checked.dumps != failure.dumps || checkedContent.pack)
            return "the check without reading the settings and the reading disagree";
    }
    if (!ok) {
        if (content.pack) return "a refused file hands out settings";
        if (failure.messageId != 0 && ImportMessageText(failure.messageId) == nullptr) return "an unknown message";
        for (const auto& dump : failure.dumps) {
            if (dump.size() != 4 && dump.size() != 8) return "a dump of an unexpected width";
        }
        failure.ExtendedText();
    } else {
        if ((content.EntryCount() == 0) != (content.pack == nullptr)) return "settings without entries, or none with";
        if (content.pack) {
            ValidateForRegistry(*content.pack);
            if (std::string error = CheckPackEncodings(*content.pack); !error.empty()) return error;
        }
    }
    return CheckDecoders(data, size);
}

}  // namespace ca::fuzz
