#include "options/options_store.h"

#include "diag/file.h"
#include "diag/text_format.h"
#include "options/codec/options_file.h"
#include "options/registry_subtree.h"
#include "runtime/action_error.h"
#include "runtime/action_scope.h"
#include "runtime/log.h"
#include "runtime/text.h"

#include <cstring>
#include <new>

namespace ca {

namespace {

class FileSource : public OptionsSource {
public:
    explicit FileSource(File& file) : file_(file) {}
    uint64_t Length() override { return file_.Length(); }
    uint32_t Read(void* buffer, uint32_t count) override { return file_.Read(buffer, count); }

private:
    File& file_;
};

class ModuleTexts : public ImportTexts {
public:
    std::string Message(unsigned id, const std::string& path) const override {
        return FormatResourceMessage(id, path.c_str());
    }
    std::string SystemMessage(int32_t code) const override { return OsErrorText(code); }
};

ErrorInfo* OwnOrGiven(ErrorInfo* given, std::unique_ptr<ErrorInfo>& own) {
    if (given) return given;
    own = std::make_unique<ErrorInfo>(false);
    return own.get();
}

}  // namespace

// ---------------------------------------------------------------- OptionsKey

OptionsKey::OptionsKey(ErrorInfo* errorInfo) : errorInfo_(OwnOrGiven(errorInfo, ownInfo_)) {}

bool OptionsKey::Create(HKEY root, const std::string& path, REGSAM access) {
    Close();
    const LONG rc = Os().RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                         key_.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) {
        errorInfo_->SetErr("3N66F2F8FILRKWX", static_cast<int32_t>(rc));
        errorInfo_->AddErrTextExt(FormatRootKeyLine(root));
        errorInfo_->AddErrTextExt(FormatStrgLine(path));
        errorInfo_->AddErrTextExt(FormatHexDump(&access, sizeof access));
        return false;
    }
    root_ = root;
    path_ = path;
    return true;
}

bool OptionsKey::SetDwordValue(const char* name, uint32_t value) {
    BYTE bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    if (!key_) {
        errorInfo_->SetErr("ZR6NC5Z54KDJVVK", ERROR_INVALID_PARAMETER);
    } else {
        const LONG rc = Os().RegSetValueExA(key_.Get(), name, 0, REG_DWORD, bytes, sizeof bytes);
        if (rc == ERROR_SUCCESS) return true;
        errorInfo_->SetErr("I7FJYNBR2YAF395", static_cast<int32_t>(rc));
    }
    errorInfo_->AddErrTextExt(FormatRootKeyLine(key_.Get()));
    errorInfo_->AddErrTextExt(FormatStrgLine(name));
    errorInfo_->AddErrTextExt(FormatHexDump(bytes, sizeof bytes));
    errorInfo_->AddErrTextExt(FormatRootKeyLine(root_));
    errorInfo_->AddErrTextExt(FormatStrgLine(path_));
    return false;
}

void OptionsKey::Close() {
    key_.Reset();
    root_ = nullptr;
    path_.clear();
}

// -------------------------------------------------------------- OptionsStore

const ImportTexts& ModuleImportTexts() {
    static const ModuleTexts texts;
    return texts;
}

OptionsStore::OptionsStore(ErrorInfo* errorInfo, int32_t scope, int32_t majorVersion, int32_t minorVersion,
                           int32_t buildNumber, std::string settingsRoot, std::string signature)
    : errorInfo_(OwnOrGiven(errorInfo, ownInfo_)),
      scope_(scope),
      majorVersion_(majorVersion),
      minorVersion_(minorVersion),
      buildNumber_(buildNumber),
      settingsRoot_(std::move(settingsRoot)),
      signature_(std::move(signature)) {}

HKEY OptionsStore::ProfilesRoot() const { return scope_ == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

bool OptionsStore::ImportOptionsFile(const std::string& path, std::unique_ptr<Pack>* pack) {
    return Import(path, pack != nullptr, pack);
}

bool OptionsStore::CheckOptionsFile(const std::string& path) { return Import(path, true, nullptr); }

bool OptionsStore::Import(const std::string& path, bool check, std::unique_ptr<Pack>* pack) {
    // What went wrong decides how the text is completed.
    enum class Failure { None, Import, Reading, Closing } failure = Failure::None;
    OptionsFileContent content;

    // Whatever the file, an import first finishes what an interrupted one
    // left below the settings root (it logs what it did, or what it could
    // not do; the save tries again and reports that).
    const JournalRecord record = VersionRecord();
    if (!check) RegistrySubtree(ProfilesRoot(), ProfilesPath(), &record).Recover();

    File file;
    try {
        file = File::OpenForRead(path);
    } catch (const FileFailure& openFailure) {
        errorInfo_->SetErrFileException("D9Z2M53NXGIXHT8", &openFailure);
        failure = Failure::Import;
    }
    if (file.IsOpen()) {
        try {
            FileSource source(file);
            OptionsFileFailure refusal;
            if (!ReadOptionsFile(source, {signature_, majorVersion_, minorVersion_}, content, refusal,
                                 check && !pack ? SettingsUse::CheckOnly : SettingsUse::Read)) {
                errorInfo_->SetErr(refusal.point, refusal.code, CheckFailureText(refusal, ModuleImportTexts()),
                                   refusal.ExtendedText());
                failure = Failure::Import;
            }
        } catch (const FileFailure& readFailure) {
            errorInfo_->SetErrFileException("9WPCNCVEXGUAT9C", &readFailure);
            failure = Failure::Reading;
        }
        // Everything is read: the file is closed before the settings are
        // replaced, so that a failure to close it can never follow a
        // replacement it would then report as failed.
        try {
            file.Close();
        } catch (const FileFailure& closeFailure) {
            // An earlier failure is the one worth reporting.
            if (failure == Failure::None) {
                errorInfo_->SetErrFileException("BJKMKWY8SPJJDV2", &closeFailure);
                failure = Failure::Closing;
            }
        }
    }
    if (failure == Failure::None && !check) {
        // The settings (when the file has any) and the record that goes with
        // them, through one journal.
        const HKEY root = ProfilesRoot();
        const std::string profiles = ProfilesPath();
        bool recordFailed = false;
        JournalOptions options;
        options.owner = productCode_;
        options.writeRecord = [&]() -> LONG {
            if (WriteVersionRecord(content.PackedVersion())) return ERROR_SUCCESS;
            recordFailed = true;
            ErrorData recorded;
            errorInfo_->CopyErrTo(recorded);
            return recorded.code != 0 ? static_cast<LONG>(recorded.code) : static_cast<LONG>(ERROR_INVALID_DATA);
        };
        const RegistrySubtree subtree(root, profiles, &record);
        const LONG rc = subtree.Save(content.pack.get(), options);
        if (rc != ERROR_SUCCESS) {
            const std::string where = FormatStrgLine(profiles) + FormatRootKeyLine(root);
            if (recordFailed) {
                // The record's own chain, below the journal's point.
                errorInfo_->AddErrPoint("YRVS91UG34FS4TA");
                errorInfo_->AddErrPoint("X9XEP84UYVP6B2T");
                errorInfo_->AddErrTextExt(where);
            } else if (subtree.FailureSite() != nullptr) {
                errorInfo_->SetErr(subtree.FailureSite(), static_cast<int32_t>(rc), std::string(), where);
                errorInfo_->AddErrPoint("X9XEP84UYVP6B2T");
            } else {
                errorInfo_->SetErr("X9XEP84UYVP6B2T", static_cast<int32_t>(rc), std::string(), where);
            }
            failure = Failure::Import;
        }
    }

    if (failure == Failure::None) {
        if (check && pack) *pack = std::move(content.pack);
        return true;
    }

    if (failure == Failure::Import && errorInfo_->GetErrText().empty()) {
        errorInfo_->SetErrText(UnreadableFileText(path, ModuleImportTexts()));
    }
    errorInfo_->AddErrTextExt(ImportFailureTail(path, content.header));
    return false;
}

JournalRecord OptionsStore::VersionRecord() const {
    return {HKEY_CURRENT_USER, settingsRoot_ + "\\OptionVersion", {"MajorVer", "MinorVer", "NumbBuild"}};
}

LONG OptionsStore::SettleJournal(bool rollback, const RegistrySubtree::ShapeSource& shape) {
    const JournalRecord record = VersionRecord();
    const RegistrySubtree subtree(ProfilesRoot(), ProfilesPath(), &record);
    const LONG rc = rollback ? subtree.Rollback(productCode_) : subtree.Commit(productCode_, shape);
    if (rc != ERROR_SUCCESS) {
        errorInfo_->SetErr(subtree.FailureSite() != nullptr ? subtree.FailureSite() : "X9XEP84UYVP6B2T",
                           static_cast<int32_t>(rc), std::string(),
                           FormatStrgLine(ProfilesPath()) + FormatRootKeyLine(ProfilesRoot()));
        if (subtree.FailureSite() != nullptr) errorInfo_->AddErrPoint("X9XEP84UYVP6B2T");
    }
    return rc;
}

bool OptionsStore::WriteVersionRecord(uint32_t packedVersion) {
    OptionsKey key(errorInfo_);
    bool created = false;
    try {
        created = key.Create(HKEY_CURRENT_USER, settingsRoot_ + "\\OptionVersion", KEY_WRITE);
    } catch (const std::bad_alloc&) {
        // A failed allocation is a failed creation, with the code it has.
        errorInfo_->SetErr("3N66F2F8FILRKWX", ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!created) {
        errorInfo_->AddErrPoint("XRFGIE68L48P6G3");
        return false;
    }
    if (packedVersion == 0) return true;
    const struct {
        const char* name;
        uint32_t value;
        const char* point;
    } values[] = {
        {"MajorVer", packedVersion >> 24, "EDBJ46FN35W769C"},
        {"MinorVer", (packedVersion >> 16) & 0xFFu, "3FXZNLBAPTPYZ5G"},
        {"NumbBuild", packedVersion & 0xFFFFu, "GZYWZGDDNB8GCFH"},
    };
    for (const auto& v : values) {
        bool set = false;
        try {
            set = key.SetDwordValue(v.name, v.value);
        } catch (const std::bad_alloc&) {
            errorInfo_->SetErr("I7FJYNBR2YAF395", ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!set) {
            errorInfo_->AddErrPoint(v.point);
            return false;
        }
    }
    return true;
}

}  // namespace ca
