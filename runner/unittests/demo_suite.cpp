// A small suite run as a real process by the runner's unit tests.
#include <iostream>

#include "runner/failure.hpp"
#include "runner/test_main.hpp"

namespace {

runner::CaseOutcome passes() {
    std::cout << "hello from the demo\n";
    return runner::CaseOutcome::success();
}

runner::CaseOutcome fails() {
    runner::assert_eq(1 + 1, 3);
    return runner::CaseOutcome::success();
}

constexpr runner::CaseDescriptor make_case(const char* name, runner::CaseFn function) {
    return runner::CaseDescriptor{name,
                                  false,
                                  nullptr,
                                  "runner/unittests/demo_suite.cpp",
                                  1,
                                  1,
                                  1,
                                  1,
                                  runner::ShouldFail::No,
                                  nullptr,
                                  runner::CaseKind::Integration,
                                  function};
}

const runner::CaseDescriptor FAILS = make_case("demo::fails", &fails);
const runner::CaseDescriptor PASSES = make_case("demo::passes", &passes);
const runner::CaseDescriptor* const REGISTRY[] = {&FAILS, &PASSES};

}  // namespace

int main() {
    runner::test_main_static(REGISTRY);
    return 0;
}
