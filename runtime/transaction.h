// The switch that ties a deferred action's work to the installation's own
// transaction. The fragment's setter appends "|" and the ProductCode (a GUID
// in braces) to the action's usual CustomActionData; the action then keeps
// what it needs to undo its work until the installation's commit or rollback
// action disposes of it. Without the switch (a package that schedules only
// the deferred action, or an installation with rollback disabled) nothing is
// kept after the action.
#pragma once

#include <string>

namespace ca {

struct TransactionSwitch {
    std::string data;         // the action's own CustomActionData
    std::string productCode;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", empty without the switch
    // What tells this installation from an earlier one of the same product
    // (the date and time the installation's script was made); empty when
    // the switch has none.
    std::string run;
};

// Splits a trailing "|{GUID}" off the CustomActionData, and before it a
// "|run <text without a bar>" when there is one. Only a "|" followed by a
// GUID in braces that ends the text counts: any other "|", inside the
// action's own fields, is part of its data.
TransactionSwitch SplitTransactionSwitch(const std::string& customActionData);

}  // namespace ca
