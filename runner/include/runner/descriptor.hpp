// The static description of one check case, as a suite registers it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace runner {

/// What a case function returns: success, or a failure with its text.
class CaseOutcome {
  public:
    static CaseOutcome success() { return CaseOutcome(true, {}); }
    static CaseOutcome failure(std::string text) { return CaseOutcome(false, std::move(text)); }

    bool passed() const { return passed_; }
    /// The failure text (empty on success).
    const std::string& failure_text() const { return text_; }

  private:
    CaseOutcome(bool passed, std::string text) : passed_(passed), text_(std::move(text)) {}
    bool passed_;
    std::string text_;
};

/// A case function: no arguments; it returns an outcome, or throws to fail.
using CaseFn = CaseOutcome (*)();

/// Whether a case is expected to fail, and optionally with which message.
enum class ShouldFail { No, Yes, YesWithMessage };

/// The kind of a case; reported nowhere, kept for the registry's sake.
enum class CaseKind { Unit, Integration };

/// One case, fixed at build time. The runner copies what it needs out of it
/// and never changes or frees it.
struct CaseDescriptor {
    /// Full name, module path included ("common::motion_command_names::tests::...").
    const char* name;
    /// True skips the case unless ignored cases are asked for.
    bool ignore;
    /// Why the case is ignored, or null.
    const char* ignore_message;
    /// Source file of the case, relative to the project root, forward slashes.
    const char* source_path;
    /// 1-based position of the case function's name: its line and first
    /// column, the same line, and the column just past its last character.
    std::size_t start_line;
    std::size_t start_col;
    std::size_t end_line;
    std::size_t end_col;
    ShouldFail should_fail;
    /// The text a failure must contain when `should_fail` is `YesWithMessage`.
    const char* expected_message;
    CaseKind kind;
    CaseFn function;
};

}  // namespace runner
