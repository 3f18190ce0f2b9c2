#include "runner/test_main.hpp"

namespace runner {

void test_main_static(std::span<const CaseDescriptor* const> /*cases*/) {}

}  // namespace runner
