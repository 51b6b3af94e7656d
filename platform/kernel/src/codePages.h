// Code page 1251 for the other parts of the kernel (8-bit case folding).
#pragma once

#include <vsk/platform/types.h>

namespace vsk::kernel {

char16_t Cp1251ToUnit(unsigned char byte);
// The byte for a UTF-16 unit, or -1 when code page 1251 has none.
int UnitToCp1251(char16_t unit);

}  // namespace vsk::kernel
