// What the registry's test support reaches inside the registry; never installed.
#pragma once

namespace vsk::registry {

// Closes both hives' databases and forgets the open keys, so the next call opens the hives again
// from the state folders the environment names at that moment. Keys still open become invalid (6).
void CloseHives();

}  // namespace vsk::registry
