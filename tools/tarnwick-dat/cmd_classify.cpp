// classify: the file type of an id, for a given archive kind or by the id
// alone.

#include <fmt/format.h>

#include <tarnwick_dat/file_type/mod.hpp>

#include "commands.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_classify(const ParsedArgs& args) {
    const std::uint32_t id = parse_file_id(args.positional[0]);
    const auto kind_name = args.value("--kind");
    const tarnwick_dat::DatFileType type =
        kind_name ? tarnwick_dat::file_type::from_id_in_dat(id, parse_kind(*kind_name))
                  : tarnwick_dat::file_type::from_id(id);
    fmt::print("{}\n", type);
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
