// OptionsStore: checks an options file against the installing product and
// either hands its settings back (check) or makes them the application's
// profile settings in the registry and records the file's option version
// (run). Every failure is recorded in an ErrorInfo; nothing is thrown.
//
// Registry: the profiles are the RegistrySubtree settingsRoot + "\Profiles"
// below HKEY_LOCAL_MACHINE (scope 1) or HKEY_CURRENT_USER (any other scope);
// the version record is always HKEY_CURRENT_USER settingsRoot +
// "\OptionVersion" with the DWORD values MajorVer, MinorVer and NumbBuild.
// Settings and record are replaced together, through the journal of
// registry_subtree.h.
#pragma once

#include "diag/error_info.h"
#include "options/codec/options_file.h"
#include "options/codec/pack.h"
#include "options/registry_subtree.h"
#include "runtime/handles.h"

#include <memory>
#include <string>

namespace ca {

// One open registry key of the store, reporting into an ErrorInfo.
class OptionsKey {
public:
    // Without a record the key keeps one of its own.
    explicit OptionsKey(ErrorInfo* errorInfo = nullptr);
    ~OptionsKey() { Close(); }
    OptionsKey(const OptionsKey&) = delete;
    OptionsKey& operator=(const OptionsKey&) = delete;

    // Creates the key, or opens it when it exists; any key held is closed first.
    bool Create(HKEY root, const std::string& path, REGSAM access);
    bool SetDwordValue(const char* name, uint32_t value);
    // Releases the key and forgets its root and path.
    void Close();

    HKEY Handle() const { return key_.Get(); }
    ErrorInfo& Errors() { return *errorInfo_; }

private:
    std::unique_ptr<ErrorInfo> ownInfo_;
    ErrorInfo* errorInfo_;
    UniqueKey key_;
    HKEY root_ = nullptr;
    std::string path_;
};

// The texts of a refused import as the module tells them: its own string
// table and the system's messages.
const ImportTexts& ModuleImportTexts();

class OptionsStore {
public:
    // Without a record the store keeps one of its own. `signature` is the
    // expected start of the file: "QVRX" "OPTS" and 4 product characters.
    OptionsStore(ErrorInfo* errorInfo, int32_t scope, int32_t majorVersion, int32_t minorVersion, int32_t buildNumber,
                 std::string settingsRoot, std::string signature);
    OptionsStore(const OptionsStore&) = delete;
    OptionsStore& operator=(const OptionsStore&) = delete;

    // Checks and reads the options file. With `pack` (check) its settings are
    // handed over and nothing is written (no pack when the file has no
    // table entries). Without (run) they replace the profile settings and the
    // version record is written, both or neither: a version record that
    // cannot be written fails the import with the previous settings kept.
    bool ImportOptionsFile(const std::string& path, std::unique_ptr<Pack>* pack);

    // The check of ImportOptionsFile with a pack, with the same failures,
    // texts and points, for a caller that has no use for the settings: they
    // are checked without being read into memory.
    bool CheckOptionsFile(const std::string& path);

    // Writes the version record: major in bits 24-31, minor in bits 16-23,
    // build in bits 0-15. A version of 0 creates the key and writes no values.
    bool WriteVersionRecord(uint32_t packedVersion);

    // The installation the run's journal is kept for (its ProductCode);
    // empty (the default): nothing is kept after the run.
    void KeepJournalFor(std::string productCode) { productCode_ = std::move(productCode); }
    // The installation's rollback (or commit) of the journal kept for it: 0,
    // or the failure recorded. `shape`: the new settings as imported, if known
    // (RegistrySubtree::Commit).
    LONG SettleJournal(bool rollback, const RegistrySubtree::ShapeSource& shape = {});

    HKEY ProfilesRoot() const;
    std::string ProfilesPath() const { return settingsRoot_ + "\\" + "Profiles"; }
    ErrorInfo& Errors() { return *errorInfo_; }

private:
    std::unique_ptr<ErrorInfo> ownInfo_;
    ErrorInfo* errorInfo_;
    int32_t scope_;
    int32_t majorVersion_;
    int32_t minorVersion_;
    int32_t buildNumber_;
    std::string settingsRoot_;
    std::string signature_;
    std::string productCode_;

    JournalRecord VersionRecord() const;
    // Both: `check` writes nothing and hands the settings to `pack` if given.
    bool Import(const std::string& path, bool check, std::unique_ptr<Pack>* pack);
};

}  // namespace ca
