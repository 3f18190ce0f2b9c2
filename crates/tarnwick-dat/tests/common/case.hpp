// Defining a check case so that the compiler takes down where it is written.
#pragma once

#include <cstddef>

namespace common {

/// Where a case function's name is written: its line, and the 1-based
/// columns of its first character and just past its last.
struct CaseSite {
    std::size_t line;
    std::size_t start_col;
    std::size_t end_col;
};

}  // namespace common

/// Declares the case function `name` and its site `name##_site` (for a
/// header; `CASE` defines both).
#define CASE_DECLARATION(name) \
    void name();               \
    extern const ::common::CaseSite name##_site

/// Defines the case function `name` (no arguments, returns void; the body
/// follows) and `name##_site`, where its name is written. Written at the
/// start of a line, it puts the name where `void name()` would, at column 6.
#define CASE(name)                                                                       \
    extern const ::common::CaseSite name##_site;                                         \
    constinit const ::common::CaseSite name##_site{__LINE__, sizeof("CASE("),            \
                                                   sizeof("CASE(") + sizeof(#name) - 1}; \
    void name()
