// Replays the ASN.1 reader's fuzz harness over its seed corpus and over every prefix and one-byte
// change of each seed.
#include "fuzzReplay.h"

namespace {

TEST(Asn1FuzzReplay, SeedCorpusAndItsMutations) {
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_FUZZ_CORPUS, 1, 1), 5u);
}

}  // namespace
