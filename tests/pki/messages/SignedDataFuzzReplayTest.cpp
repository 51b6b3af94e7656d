// Replays the signed-message reader's fuzz harness over its seed corpus (openssl's GOST messages:
// attached, detached, streamed, two signers, a time-stamped signer; and broken ones) and over
// prefixes and one-byte changes of each seed, so that the sanitizer builds run what the fuzzer runs;
// and checks the error of the fuzzer's findings kept in the corpus.
#include <vsk/pki/SignedData.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include "fuzzReplay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

TEST(SignedDataFuzzReplay, SeedCorpusAndItsMutations) {
    // The developer log is silenced here: the fuzzer runs its lines, and at level 4 (where the
    // first failing step raises it) thousands of failing reads would spend the test's time writing.
    Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog();
    const int savedLevel = log ? log->getLevel() : 0;
    if (log) log->setLevel(0);
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_FUZZ_CORPUS, 17, 13), 13u);
    if (log) log->setLevel(savedLevel);
}

// A certificate the message decoder hands out but the store refuses: the reader fails with the
// step of adding it to the store, its number kept.
TEST(SignedDataFuzzReplay, CertificateTheStoreRefusesKeepsItsStep) {
    std::ifstream in(std::filesystem::path(VSK_FUZZ_CORPUS) / "rsa_certificate_not_readable",
                     std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(input.size(), 2u);
    const std::string message = input.substr(2);  // the harness's two control bytes
    Vsk::PKI::CSignedData reader;
    try {
        reader.ImportBlock(Vsk::Utils::CDataBlob(message.data(), message.size(), true), nullptr, true);
        ADD_FAILURE() << "the message was read";
    } catch (const Vsk::Utils::CError& error) {
        EXPECT_EQ(error.getErrorNumber(), 101010u);
    }
}

}  // namespace
