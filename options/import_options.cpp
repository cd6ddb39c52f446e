#include "options/import_options.h"

#include "diag/error_info.h"
#include "options/codec/options_file.h"
#include "options/options_store.h"
#include "runtime/properties.h"
#include "runtime/text.h"
#include "runtime/transaction.h"

#include <mbstring.h>

#include <vector>

namespace ca {

namespace {

constexpr size_t kFieldCount = 10;

// The ten fields, each up to its ";". The search is multibyte-aware, so the
// trail byte of a double-byte character is never taken for a separator.
bool SplitFields(const std::string& parameters, std::vector<std::string>& fields) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(parameters.c_str());
    while (fields.size() < kFieldCount) {
        const unsigned char* end = _mbschr(at, ';');
        if (end == nullptr) return false;
        fields.emplace_back(reinterpret_cast<const char*>(at), static_cast<size_t>(end - at));
        at = end + 1;
    }
    return true;
}

// The file name with its extension: what follows the last folder separator
// or drive colon.
std::string FileNameOf(const std::string& path) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(path.c_str());
    const unsigned char* start = text;
    for (unsigned int separator : {'\\', '/', ':'}) {
        const unsigned char* last = _mbsrchr(text, separator);
        if (last != nullptr && last + 1 > start) start = last + 1;
    }
    return std::string(reinterpret_cast<const char*>(start));
}

bool IsExistingFile(const std::string& path) {
    const DWORD attributes = Os().GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const std::string& Field(const std::vector<std::string>& fields, size_t index) {
    static const std::string kMissing;
    return index < fields.size() ? fields[index] : kMissing;
}

}  // namespace

bool ImportOptions(ActionError& error, const std::string& parameters, ImportMode mode,
                   const std::string& productCode) {
    std::vector<std::string> fields;
    bool imported = false;
    try {
        if (!SplitFields(parameters, fields)) {
            error.RecordError("VO2IY09F5DO9N2F", ERROR_INVALID_DATA, nullptr, "(" + parameters + ")");
            ThrowFailure();
        }
        const std::string signature =
            StringPrintf("%s%s%s%s", "QVRX", "OPTS", fields[5].c_str(), fields[6].c_str());
        std::string path = fields[9];
        if (!IsExistingFile(path)) path = fields[8] + FileNameOf(fields[9]);

        auto storeWith = [&](ErrorInfo& errors) {
            return OptionsStore(&errors, AtoiClamped(fields[1].c_str()), AtoiClamped(fields[2].c_str()),
                                AtoiClamped(fields[3].c_str()), AtoiClamped(fields[4].c_str()), fields[7], signature);
        };
        ErrorInfo errorInfo(false);
        OptionsStore store = storeWith(errorInfo);
        store.KeepJournalFor(productCode);
        bool done = false;
        switch (mode) {
            case ImportMode::Check: done = store.CheckOptionsFile(path); break;
            case ImportMode::Run: done = store.ImportOptionsFile(path, nullptr); break;
            case ImportMode::Rollback: done = store.SettleJournal(true) == ERROR_SUCCESS; break;
            case ImportMode::Commit:
                // The shape of the new settings, from the file the run
                // imported, lets the commit delete the previous ones (of the
                // same shape, usually) by their known names rather than by
                // walking them; without it they are deleted all the same.
                done = store.SettleJournal(false, [&] {
                    std::unique_ptr<Pack> shape;
                    ErrorInfo ignored(true);
                    storeWith(ignored).ImportOptionsFile(path, &shape);
                    return shape;
                }) == ERROR_SUCCESS;
                break;
        }
        if (!done) {
            ErrorData record;
            errorInfo.CopyErrTo(record);
            error.AdoptError(record.point, record.code, record.text, record.extText);
            ThrowFailure();
        }
        imported = true;
    } catch (const FailureSignal&) {
    } catch (...) {
        error.RecordError("2YG1SSQL4W958K9", static_cast<int32_t>(Os().GetLastError()));
    }
    if (!imported) {
        error.SetText(ImportFailedText(Field(fields, 9), Field(fields, 8), error.Text(), ModuleImportTexts()));
    }
    return imported;
}

UINT RunImportAction(MSIHANDLE install, const ImportAction& action) {
    ActionError error;
    const BodyOutcome outcome = RunActionBody(error, action.catchAllPoint, [&] {
        std::string parameters;
        if (!GetStringProperty(install, action.property, parameters, error)) {
            error.PrependPoint(action.readPoint);
            ThrowFailure();
        }
        TransactionSwitch split{parameters, {}};
        if (action.mode != ImportMode::Check) split = SplitTransactionSwitch(parameters);
        const bool settling = action.mode == ImportMode::Rollback || action.mode == ImportMode::Commit;
        if (settling && split.productCode.empty()) return;
        if (!ImportOptions(error, split.data, action.mode, split.productCode)) {
            error.PrependPoint(action.workerPoint);
            ThrowFailure();
        }
    });
    const bool publishes = action.mode == ImportMode::Check || action.mode == ImportMode::Run;
    if (outcome == BodyOutcome::Failed && publishes) PublishError(install, error, CodeForm::Short);
    return ERROR_SUCCESS;
}

}  // namespace ca
