// The parity-check suite's case registry, visible to the suite's own tests.
#pragma once

#include <span>

#include "runner/descriptor.hpp"

namespace quorvant {

/// Every case of the suite, ascending by name, as handed to the runner.
std::span<const runner::CaseDescriptor* const> case_registry();

/// The suite's entry: hands the registry to the runner, which reads the
/// command line and ends the process itself when a case fails.
void main();

}  // namespace quorvant
