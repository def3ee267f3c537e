// Runs every file of the committed fuzz corpus through the fuzz case, so the
// ordinary host build (ASan, UBSan) exercises it without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/field_fuzz.h"

namespace {

TEST(FieldFuzzCorpus, EveryCorpusFileHoldsAllChecks) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(QELN_FUZZ_CORPUS_DIR)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 20u) << "corpus missing in " << QELN_FUZZ_CORPUS_DIR;
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                      std::istreambuf_iterator<char>());
        EXPECT_EQ(
            RunFieldFuzzCase(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
            << file.filename().string();
    }
}

}  // namespace
