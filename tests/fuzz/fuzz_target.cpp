// libFuzzer entry for the registry field tables.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/field_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = RunFieldFuzzCase(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "field fuzz: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
