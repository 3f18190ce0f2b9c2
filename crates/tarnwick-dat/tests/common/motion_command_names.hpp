// The game's motion-command ids with their names: a fixed table, the lookup
// from id to name, the classifier that sorts any id into a class, and the
// three check cases that pin them.
#pragma once

#include <fmt/format.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/case.hpp"
#include "runner/location.hpp"

namespace common::motion_command_names {

/// The class of a motion command, stored in one byte.
enum class MotionCommandClass : std::uint8_t {
    Invalid = 0,
    Stance = 1,
    Locomotion = 2,
    Turn = 3,
    Jump = 4,
    Stop = 5,
    HoldKey = 6,
    Aim = 7,
    MagicGesture = 8,
    Posture = 9,
    StateEmote = 10,
    QuickEmote = 11,
    UiPanel = 12,
    Action = 13,
    AttackHigh = 14,
    AttackMedium = 15,
    AttackLow = 16,
    Misc = 17,
};

/// The text form of a class: its enumerator name ("AttackMedium"). A value
/// outside the enumeration gives "Unknown".
std::string_view motion_command_class_name(MotionCommandClass value);

/// One table entry: a motion-command id and the command's name.
struct MotionCommandEntry {
    std::uint32_t id;
    std::string_view name;
};

/// The number of entries in `MOTION_COMMAND_NAMES`.
inline constexpr std::size_t MOTION_COMMAND_COUNT = 409;

/// Every known motion command, strictly ascending by id (compared unsigned),
/// with no id and no name twice. The lookup's binary search relies on the
/// order. Constant data, alive for the whole run.
extern const std::array<MotionCommandEntry, MOTION_COMMAND_COUNT> MOTION_COMMAND_NAMES;

/// The name of the entry whose id is `value`, or nothing when the table has
/// no such id. The text is the table's own and stays valid for the whole run.
std::optional<std::string_view> motion_command_name(std::uint32_t value);

/// The class of any id, from its top byte, a few exact ids and its name in
/// the table. Total and pure.
MotionCommandClass motion_command_class(std::uint32_t value);

/// The text form of an optional name as the check failures show it: "None",
/// or Some("name") with quotes and backslashes in the name escaped.
std::string optional_name_text(std::optional<std::string_view> name);

}  // namespace common::motion_command_names

namespace common::motion_command_names::tests {

/// Fails the running case, at `location`, at the first pair of consecutive
/// entries of `table` whose ids are not strictly ascending. Fewer than two
/// entries always pass.
void assert_strictly_sorted(std::span<const MotionCommandEntry> table,
                            runner::SourceLocation location = runner::SourceLocation::current());

/// Case: known ids have their known names, an unknown id has none.
CASE_DECLARATION(lookup_known_commands);

/// Case: known ids fall into their known classes.
CASE_DECLARATION(classify_known_commands);

/// Case: the real table is strictly ascending, as the lookup needs.
CASE_DECLARATION(table_is_strictly_sorted_for_binary_search);

}  // namespace common::motion_command_names::tests

/// Shows a class by its name, so that equality checks can print it.
template <>
struct fmt::formatter<common::motion_command_names::MotionCommandClass>
    : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(common::motion_command_names::MotionCommandClass value, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(
            common::motion_command_names::motion_command_class_name(value), ctx);
    }
};

/// Shows an optional name as "None" or Some("name"), so that equality checks
/// on lookups can print both sides.
template <>
struct fmt::formatter<std::optional<std::string_view>> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const std::optional<std::string_view>& value, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(
            common::motion_command_names::optional_name_text(value), ctx);
    }
};
