// Replays the token loader's fuzz harness over its seed corpus and over every prefix and one-byte
// change of each seed, so that the sanitizer builds of the tests run what the fuzzer runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(TspFuzzReplay, SeedCorpusAndItsMutations) {
    const std::filesystem::path corpus = std::filesystem::path(VSK_FUZZ_CORPUS);
    ASSERT_TRUE(std::filesystem::is_directory(corpus));
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        auto run = [](const std::string& s) {
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        };
        run(seed);
        for (size_t k = 1; k < seed.size(); k += (k < 64 ? 1 : 37)) run(seed.substr(0, k));
        for (size_t i = 0; i < seed.size(); i += (i < 64 ? 1 : 17)) {
            for (unsigned char delta : {0x01, 0x80, 0xFF}) {
                std::string mutated = seed;
                mutated[i] = static_cast<char>(mutated[i] ^ delta);
                run(mutated);
            }
        }
        ++seeds;
    }
    EXPECT_GE(seeds, 3u);
}

}  // namespace
