// The installer log "kwinst.log" in the temporary folder: failure traces only.
#pragma once

#include <string>

namespace ca {

// Full path of the log file; empty when the temporary folder is unknown.
std::string LogFilePath();

// Appends one stamped record. The file is opened without sharing for this one
// record; when it cannot be opened (for instance because another writer holds
// it) the record is dropped. Never reports failure.
void WriteLogLine(const std::string& text);

}  // namespace ca
