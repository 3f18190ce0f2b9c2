#include "common/motion_command_names.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "runner/failure.hpp"

namespace {

using common::motion_command_names::motion_command_class;
using common::motion_command_names::motion_command_class_name;
using common::motion_command_names::motion_command_name;
using common::motion_command_names::MOTION_COMMAND_NAMES;
using common::motion_command_names::MotionCommandClass;
using common::motion_command_names::MotionCommandEntry;
using common::motion_command_names::optional_name_text;
namespace cases = common::motion_command_names::tests;

using C = MotionCommandClass;
using Name = std::optional<std::string_view>;

// Runs `body` and returns the case failure it raised, or nothing when it
// returned normally.
template <typename Body>
std::optional<runner::CaseFailure> failure_of(Body&& body) {
    try {
        body();
    } catch (const runner::CaseFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

// ---- The table itself ----

TEST(MotionCommandTable, HasItsFirstAndLastEntries) {
    ASSERT_EQ(MOTION_COMMAND_NAMES.size(), 409u);
    EXPECT_EQ(MOTION_COMMAND_NAMES.front().id, 0x00000000u);
    EXPECT_EQ(MOTION_COMMAND_NAMES.front().name, "Invalid");
    EXPECT_EQ(MOTION_COMMAND_NAMES.back().id, 0x85000002u);
    EXPECT_EQ(MOTION_COMMAND_NAMES.back().name, "HoldSidestep");
}

TEST(MotionCommandTable, NamesAreUniqueShortAlphanumerics) {
    std::set<std::string_view> seen;
    for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
        SCOPED_TRACE(fmt::format("0x{:08X} {}", entry.id, entry.name));
        EXPECT_TRUE(seen.insert(entry.name).second) << "name occurs twice";
        EXPECT_GE(entry.name.size(), 2u);
        EXPECT_LE(entry.name.size(), 37u);
        for (const char c : entry.name) {
            const bool alnum =
                (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
            EXPECT_TRUE(alnum) << "character '" << c << "'";
        }
    }
}

TEST(MotionCommandTable, EntriesPerTopByte) {
    const std::map<std::uint32_t, int> expected = {
        {0x00, 1},  {0x08, 5}, {0x09, 83}, {0x0C, 1},  {0x0D, 10}, {0x10, 133}, {0x12, 3},
        {0x13, 49}, {0x20, 1}, {0x25, 1},  {0x40, 54}, {0x41, 4},  {0x42, 1},   {0x43, 36},
        {0x44, 1},  {0x45, 2}, {0x65, 4},  {0x80, 18}, {0x85, 2},
    };
    std::map<std::uint32_t, int> counted;
    for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
        ++counted[entry.id >> 24];
    }
    EXPECT_EQ(counted, expected);
}

// ---- Lookup ----

TEST(MotionCommandName, FindsEveryEntryOfTheTable) {
    // Covers the high groups 0x80 and 0x85, which sort last only as unsigned ids.
    for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
        const Name found = motion_command_name(entry.id);
        ASSERT_TRUE(found.has_value()) << fmt::format("0x{:08X}", entry.id);
        EXPECT_EQ(*found, entry.name);
        // The table's own text, not a copy.
        EXPECT_EQ(found->data(), entry.name.data());
    }
}

TEST(MotionCommandName, KnownIds) {
    const struct {
        std::uint32_t id;
        Name expected;
    } rows[] = {
        {0x00000000, "Invalid"},      {0x8000003C, "HandCombat"},
        {0x85000001, "HoldRun"},      {0x85000002, "HoldSidestep"},
        {0x65000010, "SideStepLeft"}, {0x09000169, "AutomaticallyAcceptFellowshipRequests"},
        {0x4000000B, "On"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(motion_command_name(row.id), row.expected) << fmt::format("0x{:08X}", row.id);
    }
}

TEST(MotionCommandName, UnknownIdsHaveNoName) {
    const std::uint32_t unknown[] = {
        0xDEADBEEF,  // no such group
        0x00000001,  // just past the first entry
        0x080000A1,  // just before the first entry of a group
        0x10000999,  // inside a known group, past its last entry
        0x2500003C,  // just past a lone entry
        0x7FFFFFFF,  // largest id a signed comparison would put last
        0x85000003,  // just past the last entry
        0xFFFFFFFF,
    };
    for (const std::uint32_t id : unknown) {
        EXPECT_EQ(motion_command_name(id), Name()) << fmt::format("0x{:08X}", id);
    }
}

// ---- Classification ----

TEST(MotionCommandClass, TotalsOverTheWholeTable) {
    const std::map<C, int> expected = {
        {C::Invalid, 1},       {C::Stance, 18},     {C::Locomotion, 29},   {C::Turn, 4},
        {C::Jump, 1},          {C::Stop, 1},        {C::HoldKey, 2},       {C::Aim, 13},
        {C::MagicGesture, 15}, {C::Posture, 4},     {C::StateEmote, 36},   {C::QuickEmote, 49},
        {C::Action, 67},       {C::AttackHigh, 22}, {C::AttackMedium, 22}, {C::AttackLow, 22},
        {C::Misc, 103},
    };
    std::map<C, int> counted;
    for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
        ++counted[motion_command_class(entry.id)];
    }
    // No entry is a UI panel, so that class is absent from both maps.
    EXPECT_EQ(counted, expected);
}

TEST(MotionCommandClass, EdgeCases) {
    const struct {
        std::uint32_t id;
        C expected;
        const char* why;
    } rows[] = {
        {0x00000000, C::Invalid, "zero"},
        {0xDEADBEEF, C::Misc, "unknown group"},
        {0x2500003B, C::Jump, "the one jump"},
        {0x25000001, C::Misc, "other ids of the jump's group"},
        {0x2000003A, C::Stop, "StopTurning"},
        {0x20000001, C::Stop, "any id of the stop group"},
        {0x40000004, C::Locomotion, "a name \"Stop\" is no stop"},
        {0x4000001E, C::Aim, "AimLevel"},
        {0x4000002A, C::Aim, "AimLow90"},
        {0x4000002B, C::MagicGesture, "MagicBlast"},
        {0x40000039, C::MagicGesture, "MagicPray"},
        {0x80000049, C::Stance, "\"Magic\" outside the plain motions"},
        {0x400000E0, C::Locomotion, "UseMagicStaff: a prefix test"},
        {0x40000001, C::Locomotion, "plain motion not in the table"},
        {0x10000186, C::AttackHigh, "AttackHigh4"},
        {0x10000187, C::AttackMedium, "AttackMed4"},
        {0x10000188, C::AttackLow, "AttackLow4"},
        {0x1000011F, C::AttackLow, "DoubleSlashLow"},
        {0x10000121, C::AttackHigh, "DoubleSlashHigh"},
        {0x10000120, C::AttackMedium, "DoubleSlashMed"},
        {0x10000193, C::AttackMedium, "PunchSlowMed"},
        {0x10000185, C::Action, "OffhandKick: swing without height"},
        {0x1000006E, C::Action, "SpinAttack"},
        {0x100000CD, C::Action, "SpecialAttack1"},
        {0x100000CF, C::Action, "SpecialAttack3"},
        {0x100000D0, C::Action, "MissileAttack1"},
        {0x100000D2, C::Action, "MissileAttack3"},
        {0x1000005E, C::Action, "BackhandHigh: height without swing"},
        {0x1000005F, C::Action, "BackhandMed"},
        {0x10000060, C::Action, "BackhandLow"},
        {0x1000004A, C::Action, "Hop"},
        {0x10000999, C::Action, "swing group, not in the table"},
        {0x0D0000B2, C::Misc, "HighAttack outside the swing group"},
        {0x1300004C, C::QuickEmote, "Cheer"},
        {0x13FFFFFF, C::QuickEmote, "quick-emote group, not in the table"},
        {0x90000001, C::UiPanel, "UI panel group"},
        {0x85000001, C::HoldKey, "HoldRun"},
        {0x41000003, C::Posture, "Ready"},
        {0x430000EA, C::StateEmote, "ShakeFistState"},
        {0x44000007, C::Locomotion, "RunForward"},
        {0x45000006, C::Locomotion, "WalkBackwards"},
        {0x65000010, C::Turn, "SideStepLeft"},
        {0x420000F9, C::Misc, "ATOYOT"},
        {0xFFFFFFFF, C::Misc, "largest id"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(motion_command_class(row.id), row.expected)
            << fmt::format("0x{:08X} ({})", row.id, row.why);
    }
}

// ---- Text forms ----

TEST(MotionCommandClassText, EveryValueHasItsName) {
    const std::array<std::string_view, 18> names = {
        "Invalid", "Stance", "Locomotion",   "Turn",         "Jump",       "Stop",
        "HoldKey", "Aim",    "MagicGesture", "Posture",      "StateEmote", "QuickEmote",
        "UiPanel", "Action", "AttackHigh",   "AttackMedium", "AttackLow",  "Misc",
    };
    for (std::size_t value = 0; value < names.size(); ++value) {
        const auto cls = static_cast<C>(value);
        EXPECT_EQ(motion_command_class_name(cls), names[value]);
        EXPECT_EQ(fmt::format("{}", cls), names[value]);
    }
    EXPECT_EQ(motion_command_class_name(static_cast<C>(18)), "Unknown");
}

TEST(OptionalNameText, Forms) {
    const struct {
        Name name;
        std::string_view expected;
    } rows[] = {
        {Name(), "None"},
        {Name("Jump"), R"(Some("Jump"))"},
        {Name(""), R"(Some(""))"},
        {Name(R"(a"b\c)"), R"(Some("a\"b\\c"))"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(optional_name_text(row.name), row.expected);
        EXPECT_EQ(fmt::format("{}", row.name), row.expected);
    }
}

TEST(MotionCheckFailureText, ShowsActualLeftAndExpectedRight) {
    // What a faulty classifier or lookup would make the cases report.
    const auto cls = failure_of([] { runner::assert_eq(C::AttackHigh, C::Action); });
    ASSERT_TRUE(cls.has_value());
    EXPECT_EQ(cls->message(),
              "assertion `left == right` failed\n  left: AttackHigh\n right: Action");

    const auto name = failure_of([] { runner::assert_eq(Name("Jump"), Name()); });
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->message(),
              "assertion `left == right` failed\n  left: Some(\"Jump\")\n right: None");
}

// ---- The order check ----

TEST(AssertStrictlySorted, ReportsTheFirstBadPair) {
    const struct {
        const char* what;
        std::vector<MotionCommandEntry> table;
        std::string expected;
    } rows[] = {
        {"signed-looking order",
         {{0x6500000F, "SideStepRight"}, {0x8000003C, "HandCombat"}, {0x65000010, "SideStepLeft"}},
         "table not strictly sorted: 0x8000003C (HandCombat) >= 0x65000010 (SideStepLeft)"},
        {"duplicate id",
         {{0x13000083, "Nod"}, {0x13000084, "Point"}, {0x13000084, "PointAgain"}},
         "table not strictly sorted: 0x13000084 (Point) >= 0x13000084 (PointAgain)"},
        {"several bad pairs",
         {{0x40000004, "Stop"}, {0x40000003, "B"}, {0x40000002, "C"}, {0x40000001, "D"}},
         "table not strictly sorted: 0x40000004 (Stop) >= 0x40000003 (B)"},
        {"leading zeros",
         {{0x080000A2, "Cancel"}, {0x00000000, "Invalid"}},
         "table not strictly sorted: 0x080000A2 (Cancel) >= 0x00000000 (Invalid)"},
        {"bad pair at the end",
         {{0x00000000, "Invalid"}, {0x85000001, "HoldRun"}, {0x85000001, "HoldRun"}},
         "table not strictly sorted: 0x85000001 (HoldRun) >= 0x85000001 (HoldRun)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto failure = failure_of([&] { cases::assert_strictly_sorted(row.table); });
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->message(), row.expected);
    }
}

TEST(AssertStrictlySorted, PassesOnOrderedAndTinyTables) {
    const std::vector<MotionCommandEntry> empty;
    const std::vector<MotionCommandEntry> single = {{0x85000002, "HoldSidestep"}};
    const std::vector<MotionCommandEntry> unsigned_order = {
        {0x65000010, "SideStepLeft"}, {0x8000003C, "HandCombat"}, {0xFFFFFFFF, "Last"}};
    EXPECT_FALSE(failure_of([&] { cases::assert_strictly_sorted(empty); }).has_value());
    EXPECT_FALSE(failure_of([&] { cases::assert_strictly_sorted(single); }).has_value());
    EXPECT_FALSE(failure_of([&] { cases::assert_strictly_sorted(unsigned_order); }).has_value());
    EXPECT_FALSE(
        failure_of([] { cases::assert_strictly_sorted(MOTION_COMMAND_NAMES); }).has_value());
}

TEST(AssertStrictlySorted, BlamesTheCaller) {
    const std::vector<MotionCommandEntry> table = {{2, "Two"}, {1, "One"}};
    const std::uint32_t line = __LINE__ + 1;
    const auto failure = failure_of([&] { cases::assert_strictly_sorted(table); });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->location().line, line);
}

// ---- The cases on the real table ----

TEST(MotionCases, PassOnTheRealTable) {
    const struct {
        const char* name;
        void (*body)();
    } rows[] = {
        {"lookup_known_commands", &cases::lookup_known_commands},
        {"classify_known_commands", &cases::classify_known_commands},
        {"table_is_strictly_sorted_for_binary_search",
         &cases::table_is_strictly_sorted_for_binary_search},
    };
    for (const auto& row : rows) {
        const auto failure = failure_of(row.body);
        EXPECT_FALSE(failure.has_value())
            << row.name << ": " << (failure ? failure->message() : std::string());
    }
}

}  // namespace
