// SetRegRights (deferred): lets the Users group read, or read and write, one
// key below HKEY_LOCAL_MACHINE and its subkeys. Input "key path;selector;"
// with selector "0" for read and "1" for read and write; any other selector
// is refused like a missing item, and the key's access list stays as it was.
// Failures are only logged. With the transaction switch at the end of its
// data ("|" and the ProductCode) it keeps the key's old access list for the
// installation's rollback (SetRegRightsRollback) or commit
// (SetRegRightsCommit).
#include "actions/action.h"
#include "actions/users/grant_users.h"
#include "actions/users/rights_undo.h"
#include "runtime/properties.h"
#include "runtime/text.h"
#include "runtime/transaction.h"

#include <mbstring.h>

namespace {

// Takes the next ";"-terminated item from `position` on and moves past its
// terminator. The search is multibyte-aware, so the trail byte of a
// double-byte character is never taken for a separator.
bool NextItem(const std::string& data, size_t& position, std::string& item) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(data.c_str());
    const unsigned char* end = _mbschr(text + position, ';');
    if (end == nullptr) return false;
    const size_t length = static_cast<size_t>(end - text) - position;
    item.assign(data, position, length);
    position += length + 1;
    return true;
}

bool IsKnownSelector(const std::string& selector) { return selector == "0" || selector == "1"; }

DWORD KeyAccessMask(const std::string& selector) { return selector == "1" ? ca::kUsersKeyReadWrite : ca::kUsersKeyRead; }

}  // namespace

CA_ACTION SetRegRights(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetRegRights");
    ActionError error;
    RunActionBody(error, "HCLZPK9S94DM2MY", [&] {
        if (!IsWindows2000OrLater(error, "L4FRCE6I5NISAFI", "5M6UNVUX7CLW44Z")) ThrowFailure();
        std::string data;
        if (!GetStringProperty(install, "CustomActionData", data, error)) {
            error.PrependPoint("6E9FB35DWS7FVI5");
            ThrowFailure();
        }
        const TransactionSwitch split = SplitTransactionSwitch(data);
        std::string keyPath, selector;
        size_t position = 0;
        // Any other selector would replace the Users entry by one granting nothing.
        if (!NextItem(split.data, position, keyPath) || !NextItem(split.data, position, selector) ||
            !IsKnownSelector(selector)) {
            error.RecordError("CWB6URKWZ45GRIR", ERROR_INVALID_DATA, nullptr,
                              StringPrintf("(%s)", data.c_str()));
            ThrowFailure();
        }
        BackupStore store;
        KeepAccessList keep;
        if (BeginUndo(split, "SetRegRights", store, error))
            keep = [&](PSECURITY_DESCRIPTOR old) {
                return KeepOldAccessList(store, keyPath, "", old, "H2MX9QT6ZK4WV8R", error);
            };
        if (!GrantUsersOnRegistryKey(keyPath, KeyAccessMask(selector), error, keep)) {
            error.PrependPoint("D48JVGHEBBL94W3");
            ThrowFailure();
        }
    });
    return ERROR_SUCCESS;  // deferred: the log is the only report
}
