// The installer log "kwinst.log" in the temporary folder: failure traces only.
//
// Its folder is the temporary folder of the account the calling thread acts
// as (its impersonation token, else the process's). For LocalSystem that is
// the system's own temporary folder (GetTempPath2W), and where the system
// has none, "<Windows folder>\Temp\CustAction", created and proven as a
// protected folder (runtime/protected_folder.h); a folder that fails the
// proof, or an account that cannot be told, leaves the record out of the
// file. Other accounts use GetTempPathA's folder.
#pragma once

#include <string>

namespace ca {

// Full path of the log file; empty when there is no folder it may go to.
std::string LogFilePath();

// Appends one stamped record. The file is opened without sharing for this one
// record and without following a link at its name; when it cannot be opened
// (for instance because another writer holds it), or what is at its name is
// not a plain file with exactly one name right in that folder (a link, a
// hard link, a folder), the record is dropped. Never reports failure, and
// records nothing of its own: the installer's log gets every record anyway.
void WriteLogLine(const std::string& text);

}  // namespace ca
