// The rollback of the Word template actions: what CopyMSWordDot and
// DelMSWordDot journaled (TemplateUndo) is undone user by user.
#pragma once

#include "runtime/action_error.h"
#include "store/backup_store.h"

#include <vector>

namespace ca {

// Walks the profiles again (the Word walk) and undoes each user's records,
// the last first, in that user's folders only (each folder proven inside the
// profile again, every change through a proven handle):
//   "copied", "copying"  the template there is deleted, when it is still
//              there and is still the copy (the older template it replaced
//              not put back yet) and is the file the action made: the one
//              with the recorded file number, or, where the action ended
//              before recording it, an empty one; another file stays
//              ("177QDB6IQITH711", code 80, extra "(<file>)");
//   "replaced", "moved"  the backup is moved back under its name, never
//              replacing what is there ("OHIOFYK2LXYZ8MJ", extra
//              "(<file>)(<backup>)"; the backup stays);
//   "restore"  nothing: its "replaced" record, undone after the copy,
//              puts that backup back;
//   "folder"   the folder is removed when it is empty.
// A copy that cannot be deleted gives "U74YR16RCOD443G" (extra "(<file>)"),
// a folder that cannot be removed "UJH4HJHXNBM4E2H" (extra "(<folder>)"),
// records of a user the walk did not reach "R9BVQ6RVBPTZS06" (code 1317,
// extra "(<key name>)"). Answers whether everything was undone (the store
// may go); a failed walk is prepended `walkPoint`. A record undone already,
// or whose change never happened, is passed over: run again after an
// interruption, it ends as a single run does.
bool RollBackTemplates(BackupStore& store, const std::vector<JournalRecord>& records, const char* walkPoint,
                       ActionError& error);

// The commit of CopyMSWordDot: the older templates that a failed copy could
// not put back at once ("restore" records) go back as the rollback puts them
// back; every other backup is the installation's to delete. Answers whether
// the store may go: an older template that still cannot go back keeps it,
// for the next forward run to set aside.
bool PutBackStranded(BackupStore& store, const std::vector<JournalRecord>& records, const char* walkPoint,
                     ActionError& error);

}  // namespace ca
