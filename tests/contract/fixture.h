// The few steps the contract tests need that differ between the simulation
// and real Windows. Everything else in these tests uses platform.h only.
#ifndef QELN_TESTS_CONTRACT_FIXTURE_H
#define QELN_TESTS_CONTRACT_FIXTURE_H

#include <cstddef>
#include <string>

namespace contract {

// Starts a test from a known machine: the simulation is reset; on Windows
// nothing happens (each test removes its own leftovers).
void FreshMachine();

// A program that CreateProcessW can start and that lives until it is
// terminated (or about a minute has passed).
void LongLivedChild(std::u16string* application, std::u16string* command_line);

// True when the Windows build runs under Wine. The tests expect what Windows
// does; where Wine is known to differ, they expect Wine's answer under Wine
// and say so.
bool RunningOnWine();

// Key, service and kernel handles the tests left open. The simulation counts
// them; on Windows the count is not available and this is 0.
std::size_t OpenHandles();

}  // namespace contract

#endif
