// Replays the committed corpus of the field-table fuzz case, so that the
// ordinary host build (ASan, UBSan) runs it without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// tests/fuzz/field_fuzz.cpp: the first check that failed, or "".
std::string RunFieldFuzzCase(const std::uint8_t* data, std::size_t size);

TEST(FieldFuzzCorpus, EveryCorpusFileHoldsAllChecks) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QELN_FUZZ_CORPUS_DIR)) {
        std::ifstream stream(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(stream)), {});
        EXPECT_EQ(
            RunFieldFuzzCase(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
            << entry.path().filename().string();
        ++files;
    }
    EXPECT_GE(files, 20u) << "corpus missing in " << QELN_FUZZ_CORPUS_DIR;
}
