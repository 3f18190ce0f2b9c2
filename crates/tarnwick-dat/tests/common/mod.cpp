#include "common/mod.hpp"

#include <fmt/format.h>

#include <tarnwick_dat/budget.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/utils.hpp>
#include <vector>

namespace common {

std::optional<std::filesystem::path> get_portal_dat_path() {
    return tarnwick_dat::get_portal_dat_path();
}

std::optional<std::string> fonts_over_budget(const tarnwick_dat::DatDatabase& database,
                                             std::span<const std::uint32_t> ids) {
    std::vector<const tarnwick_dat::DatFileEntry*> fonts;
    fonts.reserve(ids.size());
    for (const std::uint32_t id : ids) {
        fonts.push_back(database.files().find(id));
    }
    const tarnwick_dat::BudgetCheck work = tarnwick_dat::check_budget(
        database, fonts, tarnwick_dat::WorkBudget::for_archive(database));
    if (work.fits()) {
        return std::nullopt;
    }
    return fmt::format("Font records exceed the work budget: {}", work.describe());
}

}  // namespace common
