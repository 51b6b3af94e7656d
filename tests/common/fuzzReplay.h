// Replays a fuzz harness over its seed corpus and over prefixes and one-byte changes of each seed, so
// that the sanitizer builds of the tests run what the fuzzer runs. The test links the harness, which
// defines LLVMFuzzerTestOneInput.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace VskTest {

// Every prefix and every byte of the first 64 bytes of a seed (its headers) are varied; beyond them
// only every `prefixStride`-th prefix and every `changeStride`-th byte (1: all). Returns the number
// of seeds.
inline size_t ReplayFuzzCorpus(const std::filesystem::path& corpus, size_t prefixStride,
                               size_t changeStride) {
    EXPECT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        auto run = [](const std::string& s) {
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        };
        run(seed);
        for (size_t k = 1; k < seed.size(); k += (k < 64 ? 1 : prefixStride)) run(seed.substr(0, k));
        for (size_t i = 0; i < seed.size(); i += (i < 64 ? 1 : changeStride)) {
            for (unsigned char delta : {0x01, 0x80, 0xFF}) {
                std::string mutated = seed;
                mutated[i] = static_cast<char>(mutated[i] ^ delta);
                run(mutated);
            }
        }
        ++seeds;
    }
    return seeds;
}

}  // namespace VskTest
