#include "guiTestEnvironment.h"

// Registered before main runs; GoogleTest owns it.
static ::testing::Environment* const guiEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuiTest::Environment);
