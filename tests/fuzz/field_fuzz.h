// One fuzz case of the registry field tables on the simulated registry.
#ifndef QELN_TESTS_FUZZ_FIELD_FUZZ_H
#define QELN_TESTS_FUZZ_FIELD_FUZZ_H

#include <cstddef>
#include <cstdint>
#include <string>

// The input decides which of the UPS, Config and Status keys exist, every
// table value's type, size (0..64) and bytes, then a sequence of setters,
// getters, reloads and saves; a forced save and a free end the case. Every
// step is checked against a model of the tables and of the registry.
// Returns an empty string when every check held, else the first violation.
std::string RunFieldFuzzCase(const std::uint8_t* data, std::size_t size);

#endif
