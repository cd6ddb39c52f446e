#include "runtime/action_scope.h"

#include "runtime/handles.h"
#include "runtime/text.h"

namespace ca {

namespace {

thread_local const ActionScope* t_current = nullptr;

bool IsLeadByte(unsigned char c) { return Os().IsDBCSLeadByte(c) != FALSE; }

// The installer formats a message record before it shows or logs it, the
// values of its fields included: "[...]" in a text would be taken for a
// property. Escaped, the text comes out as it is.
std::string Escaped(const std::string& text) { return EscapeFormattedText(text, &IsLeadByte); }

}  // namespace

ActionScope::ActionScope(MSIHANDLE install, const char* action)
    : install_(install), action_(action ? action : ""), outer_(t_current) {
    t_current = this;
}

ActionScope::~ActionScope() { t_current = outer_; }

const ActionScope* ActionScope::Current() { return t_current; }

void SendInfoMessage(const std::string& text) {
    const ActionScope* scope = ActionScope::Current();
    if (scope == nullptr) return;
    try {
        const std::string line = "CustAction: " + std::string(scope->Action()) + ": " + text;
        // Field 0, the template, is the line itself; field 1 holds it unescaped
        // for user interfaces that read the record's fields.
        const UniqueMsiHandle record(Os().MsiCreateRecord(1));
        if (!record) return;
        Os().MsiRecordSetStringA(record.Get(), 0, Escaped(line).c_str());
        Os().MsiRecordSetStringA(record.Get(), 1, line.c_str());
        Os().MsiProcessMessage(scope->Install(), INSTALLMESSAGE_INFO, record.Get());
    } catch (...) {
        // The installer's log is a copy of the trace; it never brings an action down.
    }
}

int SendActionData(const std::string& text) {
    const ActionScope* scope = ActionScope::Current();
    if (scope == nullptr) return 0;
    try {
        // Field 1 for the template of the action's ActionText row.
        const UniqueMsiHandle record(Os().MsiCreateRecord(1));
        if (!record) return 0;
        Os().MsiRecordSetStringA(record.Get(), 1, Escaped(text).c_str());
        return Os().MsiProcessMessage(scope->Install(), INSTALLMESSAGE_ACTIONDATA, record.Get());
    } catch (...) {
        return 0;
    }
}

}  // namespace ca
