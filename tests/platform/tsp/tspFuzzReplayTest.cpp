// Replays the token loader's fuzz harness over its seed corpus and over every prefix and one-byte
// change of each seed.
#include "fuzzReplay.h"

namespace {

TEST(TspFuzzReplay, SeedCorpusAndItsMutations) {
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_FUZZ_CORPUS, 37, 17), 3u);
}

}  // namespace
