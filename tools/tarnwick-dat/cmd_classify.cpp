// classify: the file type of an id, for a given archive kind or by the id
// alone.

#include <tarnwick_dat/file_type/mod.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_classify(const ClassifyOptions& options) {
    const std::uint32_t id = parse_file_id(options.id);
    const tarnwick_dat::DatFileType type =
        options.kind.empty()
            ? tarnwick_dat::file_type::from_id(id)
            : tarnwick_dat::file_type::from_id_in_dat(id, parse_kind(options.kind));
    outf("{}\n", type);
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
