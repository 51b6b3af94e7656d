// Internal to the COM and WMI stand-ins: the failures that tests inject.
#pragma once

#include <vsk/platform/kernelTesting.h>

namespace vsk::kernel {

// The injected failure of the next `call` on this thread and one fewer left; S_OK when none is due.
HRESULT TakeComFailure(ComCall call);

}  // namespace vsk::kernel
