#include <vsk/platform/registryTesting.h>

#include "../src/registryInternal.h"

void RegistryResetForTests() {
    vsk::registry::CloseHives();
}
