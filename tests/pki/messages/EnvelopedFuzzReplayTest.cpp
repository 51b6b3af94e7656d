// Replays the enveloped-message reader's fuzz harness over its seed corpus (openssl's GOST messages:
// definite and streamed, two recipients, a recipient named by key identifier, originator information;
// the library's own writer's DER and streamed forms; and the fuzzer's findings) and over prefixes and
// one-byte changes of each seed, so that the sanitizer builds run what the fuzzer runs.
#include <vsk/utils/log.h>

#include "fuzzReplay.h"

#include <gtest/gtest.h>

namespace {

TEST(EnvelopedDataFuzzReplay, SeedCorpusAndItsMutations) {
    // The developer log is silenced: thousands of failing reads would spend the test's time writing.
    Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog();
    const int savedLevel = log ? log->getLevel() : 0;
    if (log) log->setLevel(0);
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_ENVELOPED_FUZZ_CORPUS, 17, 13), 7u);
    if (log) log->setLevel(savedLevel);
}

}  // namespace
