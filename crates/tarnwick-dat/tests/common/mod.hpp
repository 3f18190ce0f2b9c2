// What the check suite's cases share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace tarnwick_dat {
class DatDatabase;
}

namespace common {

/// The portal archive to check, as the library finds it (the environment
/// variable first, then the default place), or nothing.
std::optional<std::filesystem::path> get_portal_dat_path();

/// The failure message when the fonts `ids` of `database` claim more bytes
/// and reads than the archive's work budget, else nothing: fonts whose chains
/// overlap or loop are refused before any is fetched (a sound archive never
/// comes near the budget).
std::optional<std::string> fonts_over_budget(const tarnwick_dat::DatDatabase& database,
                                             std::span<const std::uint32_t> ids);

}  // namespace common
