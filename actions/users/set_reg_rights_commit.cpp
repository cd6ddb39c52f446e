// SetRegRightsCommit: the installation's commit of SetRegRights. With the
// transaction switch in its data it deletes the old access list the action
// kept. Nothing without the switch or without a store; harmless when run
// twice.
#include "actions/action.h"
#include "store/backup_store.h"

CA_ACTION SetRegRightsCommit(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "SetRegRightsCommit");
    return RunCommitAction(install, "SetRegRights", "Y6PD2RW8KX4MJ9T", "G5VZ3NQ7HT2BX8L");
}
