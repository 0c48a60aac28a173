// Replays the saved fuzz inputs of one target (ZQ_FUZZ_TARGET) through the target's own code,
// built without libFuzzer: an input that once failed must pass now. The harness aborts on a
// failed property; a sanitized build adds memory and undefined-behaviour checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

// build-* inputs belong to the builder; every other one is a byte stream for the scanner.
bool belongs(const std::string& name) {
    const bool build = name.rfind("build-", 0) == 0;
    return std::string(ZQ_FUZZ_TARGET) == "build" ? build : !build;
}

TEST(FuzzRegressions, EverySavedInputPasses) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZQ_FUZZ_REGRESSIONS_DIR)) {
        const std::string name = entry.path().filename().string();
        if (!belongs(name)) continue;
        std::ifstream f(entry.path(), std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(f), {}};
        SCOPED_TRACE(name);
        EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0);
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << "no saved input for " << ZQ_FUZZ_TARGET;
}

}  // namespace
