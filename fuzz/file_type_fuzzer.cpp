// Classifies arbitrary file ids in every archive kind and checks the
// classification's rules as properties: the iteration id everywhere, portal
// and local archives by the high byte alone, cell archives by the low half
// alone, unknown archives as `from_id`, `from_id`'s tests in their order, no
// `Custom` or `MotionKinematics`, and every result named by a name that
// leads back to it. The input is a run of little-endian ids; its first
// twelve bytes are also taken as a header's magic, block size and dataset,
// whose archive kind is checked against its rule.
#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>

namespace {

using tarnwick_dat::DatFileType;
using tarnwick_dat::DatKind;
namespace file_type = tarnwick_dat::file_type;

constexpr std::uint32_t kIterationId = 0xFFFF0001;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::uint32_t load(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Every variant's name, which must be distinct, and the types a portal
// prefix names (those whose value is below 0x100, except the cell types).
struct Names {
    std::map<std::string_view, DatFileType> by_name;
    std::set<std::uint32_t> values;

    Names() {
        for (const DatFileType type : tarnwick_dat::kAllDatFileTypes) {
            const std::string_view name = tarnwick_dat::name(type);
            check(!name.empty() && name != "?");
            check(by_name.emplace(name, type).second);
            values.insert(static_cast<std::uint32_t>(type));
        }
        std::set<std::string_view> kinds;
        for (const DatKind kind : tarnwick_dat::kAllDatKinds) {
            const std::string_view name = tarnwick_dat::name(kind);
            check(!name.empty() && name != "?" && kinds.insert(name).second);
            check(fmt::format("{}", kind) == name);
        }
    }
};

const Names& names() {
    static const Names table;
    return table;
}

// A result must be a variant, never one that no classification returns, and
// its name must lead back to it.
void check_result(DatFileType type) {
    check(type != DatFileType::Custom && type != DatFileType::MotionKinematics);
    const std::string_view name = tarnwick_dat::name(type);
    const auto found = names().by_name.find(name);
    check(found != names().by_name.end() && found->second == type);
    check(fmt::format("{}", type) == name);
}

// The portal prefix table as the format lists it.
bool is_portal_prefix(std::uint32_t p) {
    return (p >= 0x01 && p <= 0x06) || (p >= 0x08 && p <= 0x0A) || (p >= 0x0D && p <= 0x19) ||
           (p >= 0x20 && p <= 0x27) || (p >= 0x30 && p <= 0x34) || p == 0x38 || p == 0x39 ||
           (p >= 0x40 && p <= 0x42) || p == 0x78;
}

DatFileType expected_prefix(std::uint8_t prefix) {
    if (prefix == 0x07) {
        return DatFileType::Texture;
    }
    return is_portal_prefix(prefix) ? static_cast<DatFileType>(prefix) : DatFileType::Unknown;
}

DatFileType expected_cell(std::uint32_t id) {
    const std::uint32_t suffix = id & 0xFFFF;
    return suffix == 0xFFFF   ? DatFileType::Landblock
           : suffix == 0xFFFE ? DatFileType::LandblockInfo
           : suffix != 0      ? DatFileType::IndoorCell
                              : DatFileType::Unknown;
}

DatFileType expected_from_id(std::uint32_t id) {
    const std::uint32_t suffix = id & 0xFFFF;
    if (id == kIterationId) {
        return DatFileType::Iteration;
    }
    if (suffix == 0xFFFF) {
        return DatFileType::Landblock;
    }
    if (suffix == 0xFFFE) {
        return DatFileType::LandblockInfo;
    }
    if (const DatFileType guess = expected_prefix(static_cast<std::uint8_t>(id >> 24));
        guess != DatFileType::Unknown) {
        return guess;
    }
    return suffix != 0 ? DatFileType::IndoorCell : DatFileType::Unknown;
}

void check_id(std::uint32_t id, std::uint32_t other) {
    const auto prefix = static_cast<std::uint8_t>(id >> 24);
    const DatFileType by_prefix = file_type::classify_portal_prefix(prefix);
    check(by_prefix == expected_prefix(prefix));
    check_result(by_prefix);
    // A prefix type's value is its prefix (0x07 shares Texture's 0x06).
    check(by_prefix == DatFileType::Unknown ||
          static_cast<std::uint32_t>(by_prefix) == (prefix == 0x07 ? 0x06u : prefix));

    const DatFileType guessed = file_type::from_id(id);
    check(guessed == expected_from_id(id));
    check_result(guessed);

    for (const DatKind kind : tarnwick_dat::kAllDatKinds) {
        const DatFileType type = file_type::from_id_in_dat(id, kind);
        check_result(type);
        if (id == kIterationId) {
            check(type == DatFileType::Iteration);
            continue;
        }
        switch (kind) {
            case DatKind::Portal:
            case DatKind::Local:
                check(type == by_prefix);
                break;
            case DatKind::Cell: {
                check(type == expected_cell(id));
                // The high half is not looked at: any other high half with
                // the same low half gives the same type.
                const std::uint32_t same_low = (other & 0xFFFF0000) | (id & 0xFFFF);
                if (same_low != kIterationId) {
                    check(file_type::from_id_in_dat(same_low, kind) == type);
                }
                break;
            }
            case DatKind::Unknown:
                check(type == guessed);
                break;
        }
    }
}

void check_header(std::uint32_t magic, std::uint32_t block_size, std::uint32_t dataset) {
    tarnwick_dat::DatHeader header;
    header.magic = magic;
    header.block_size = block_size;
    header.dataset = dataset;
    const DatKind kind = header.dat_kind();
    const DatKind want = magic != 0x5442                      ? DatKind::Unknown
                         : block_size == 256 && dataset == 2  ? DatKind::Cell
                         : block_size == 1024 && dataset == 1 ? DatKind::Portal
                                                              : DatKind::Local;
    check(kind == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)names();
    const std::size_t ids = size / 4;
    for (std::size_t i = 0; i < ids; ++i) {
        check_id(load(data + 4 * i), load(data + 4 * ((i + 1) % ids)));
    }
    if (size >= 12) {
        check_header(load(data), load(data + 4), load(data + 8));
    }
    // A value that is no variant has no name.
    if (ids > 0) {
        const std::uint32_t value = load(data);
        const bool variant = names().values.count(value) != 0;
        check((tarnwick_dat::name(static_cast<DatFileType>(value)) == "?") == !variant);
        const auto kind_value = static_cast<std::uint8_t>(value);
        check((tarnwick_dat::name(static_cast<DatKind>(kind_value)) == "?") == (kind_value > 3));
    }
    return 0;
}
