// Test support: a real installer session on a minimal package, the installer
// log read back, and a recorder of property writes.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <utility>
#include <vector>

namespace ca::test {

// MsiOpenPackageA on the minimal package built with the tests, or on another
// package. Properties are set and read through the real installer engine.
class InstallerSession {
public:
    InstallerSession();
    explicit InstallerSession(const std::string& package);
    ~InstallerSession();
    InstallerSession(const InstallerSession&) = delete;
    InstallerSession& operator=(const InstallerSession&) = delete;

    MSIHANDLE Handle() const { return handle_; }
    void Set(const std::string& name, const std::string& value);
    std::string Get(const std::string& name) const;

private:
    MSIHANDLE handle_ = 0;
};

// The installer log "kwinst.log" in the temporary folder.
class InstallerLog {
public:
    InstallerLog();  // starts every test with no log file
    static std::string Path();
    // Raw content of the file ("" when it does not exist).
    std::string Content() const;
    // The texts of the records, stamp and line end removed. A record whose
    // text holds line breaks is one element.
    std::vector<std::string> Records() const;
    void Remove() const;
};

// Records every MsiSetPropertyA the module makes while in scope, and passes
// each on to the real installer.
class PropertyWrites {
public:
    PropertyWrites();
    ~PropertyWrites();
    const std::vector<std::pair<std::string, std::string>>& Writes() const;
    std::vector<std::string> Names() const;

private:
    void* saved_;
};

// Records every MsiProcessMessage the module sends while in scope, and passes
// each on to the real installer.
class InstallerMessages {
public:
    struct Message {
        int type;                         // the message type, flags removed
        std::vector<std::string> fields;  // field 0 (the template) first
    };
    InstallerMessages();
    ~InstallerMessages();
    const std::vector<Message>& All() const;
    // Field 1 of every message of that type (INSTALLMESSAGE_INFO, ...).
    std::vector<std::string> Texts(int type) const;

private:
    void* saved_;
};

// Sets the thread's last error, then throws something that is neither of the
// two action signals: what an action's catch-all point must record.
[[noreturn]] void ThrowForeign(DWORD lastError);

// The folder of the running test executable, with a trailing backslash.
std::string ExecutableFolder();

}  // namespace ca::test
