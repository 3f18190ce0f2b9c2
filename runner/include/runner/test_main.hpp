// The runner's entry for a suite with a fixed, static registry.
#pragma once

#include <span>

#include "runner/descriptor.hpp"

namespace runner {

/// Runs the suite: reads the process's own command line, selects and runs
/// cases, writes the report to standard output. Returns when no selected case
/// failed; otherwise (and on a command-line error) ends the process with
/// status 101. The registry's order is kept for listing and starting cases.
void test_main_static(std::span<const CaseDescriptor* const> cases);

}  // namespace runner
