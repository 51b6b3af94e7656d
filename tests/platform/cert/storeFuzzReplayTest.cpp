// Replays the ".store" loader's fuzz harness over its seed corpus and over every prefix and one-byte
// change of each seed: all of the headers and of the first element, then a sample of the rest.
#include "fuzzReplay.h"

namespace {

TEST(StoreFuzzReplay, SeedCorpusAndItsMutations) {
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_FUZZ_CORPUS, 97, 61), 3u);
}

}  // namespace
