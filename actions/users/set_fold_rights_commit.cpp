// SetFoldRightsCommit: the installation's commit of SetFoldRights. With the
// transaction switch in its data it deletes the old access list the action
// kept. Nothing without the switch or without a store; harmless when run
// twice.
#include "actions/action.h"
#include "store/backup_store.h"

CA_ACTION SetFoldRightsCommit(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetFoldRightsCommit");
    return RunCommitAction(install, "SetFoldRights", "P4RN8XZ2KV6QH7W", "Q9ZK5WT3MD7XB2C");
}
