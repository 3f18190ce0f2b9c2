// What the check suite's cases share.
#pragma once

#include <filesystem>
#include <optional>

namespace common {

/// The portal archive to check, as the library finds it (the environment
/// variable first, then the default place), or nothing.
std::optional<std::filesystem::path> get_portal_dat_path();

}  // namespace common
