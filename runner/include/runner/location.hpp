// The source position of a check, captured at the call site.
#pragma once

#include <cstdint>

#if !defined(__clang__)
#include <source_location>
#endif

namespace runner {

/// A file, line and column in the source. Taken as a defaulted argument
/// (`SourceLocation loc = SourceLocation::current()`), it names the caller.
/// The file is as the compiler was given it; the build maps the project root
/// away so that it reads relative to the root.
struct SourceLocation {
    const char* file = "";
    std::uint32_t line = 0;
    std::uint32_t column = 0;

#if defined(__clang__)
    // clang 14 with libstdc++ lacks std::source_location; its builtins give
    // the same facts (the column of the start of the call expression).
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            std::uint32_t line = __builtin_LINE(),
                                            std::uint32_t column = __builtin_COLUMN()) {
        return SourceLocation{file, line, column};
    }
#else
    // GCC reports the column of the call's opening parenthesis.
    static constexpr SourceLocation current(
        std::source_location here = std::source_location::current()) {
        return SourceLocation{here.file_name(), here.line(), here.column()};
    }
#endif
};

}  // namespace runner
