// The seam through which tests put providers of their own in place of the built-in ones. Private to
// the platform layer and its tests: never installed, never included by the library.
#pragma once

#include "cryptState.h"

namespace vsk::crypt {

// From the next provider function on, the providers of `table` are the installed ones (enumeration,
// defaults, acquisition); null brings the built-in providers back. Handles already open keep their
// provider.
void InstallProviderTable(std::shared_ptr<const ProviderTable> table);

}  // namespace vsk::crypt
