#include "appTestSupport.h"

// Registered before main runs; GoogleTest owns it.
static ::testing::Environment* const appEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppTest::Environment);
