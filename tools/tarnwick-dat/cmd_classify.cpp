// classify: the file type of each id given, for a given archive kind or by the id
// alone.

#include <optional>
#include <tarnwick_dat/file_type/mod.hpp>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_classify(const ClassifyOptions& options) {
    // Every id is parsed before any line is printed: a malformed one prints
    // nothing.
    std::vector<std::uint32_t> ids;
    ids.reserve(options.ids.size());
    for (const std::string& text : options.ids) {
        ids.push_back(parse_file_id(text));
    }
    const std::optional<tarnwick_dat::DatKind> kind =
        options.kind.empty() ? std::nullopt : std::optional(parse_kind(options.kind));
    for (const std::uint32_t id : ids) {
        const tarnwick_dat::DatFileType type =
            kind ? tarnwick_dat::file_type::from_id_in_dat(id, *kind)
                 : tarnwick_dat::file_type::from_id(id);
        outf("{}\n", type);
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
