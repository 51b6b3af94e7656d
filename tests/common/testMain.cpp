// Entry point of every test executable: the whole run happens in a temporary root (see tempRoot.h),
// so no test can read or write the real home, the user's XDG folders or the machine's state folder.
// A copy of the executable started by one of its tests works in the same root. CTest runs each
// executable in shards (GTEST_TOTAL_SHARDS, GTEST_SHARD_INDEX).
#include "tempRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // A copy of the executable started by a test runs the cases it is told to, whatever shard of
    // the run its parent belongs to.
    if (const char* inherited = std::getenv("KESTROVAN_TEST_ROOT"); inherited && *inherited) {
        unsetenv("GTEST_TOTAL_SHARDS");
        unsetenv("GTEST_SHARD_INDEX");
    }
    VskTest::EnterProcessRoot("kestrovan-test-");
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
