// Who the process is and where its persistent state lives.
#pragma once

#include <vsk/platform/types.h>

#include <string>

// The administrator test: effective uid 0, the analogue of an elevated token. KESTROVAN_ADMIN=0 or 1
// overrides the answer, so tests can take both roads whatever user they run as.
BOOL IsProcessAdministrator();

// The current user's state folder (UTF-8): $KESTROVAN_USER_DIR, else $XDG_DATA_HOME/kestrovan, else
// ~/.local/share/kestrovan. With `create` the folder is made (mode 0700, parents as needed) when it
// is missing. Empty when no home folder is known or the folder cannot be made; the last error then
// holds the reason.
std::string UserStateRoot(bool create);

// The machine's state folder (UTF-8): $KESTROVAN_MACHINE_DIR, else /var/lib/kestrovan. With `create`
// the folder is made (mode 0755, parents as needed) when it is missing; empty on failure, with the
// last error set.
std::string MachineStateRoot(bool create);
