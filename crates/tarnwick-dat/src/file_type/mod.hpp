// File types and archive kinds: what a file id says about the record it
// names, given (or guessing) the kind of archive it comes from.
#pragma once

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace tarnwick_dat {

/// The kind of record a file id names. For the types named by a portal
/// archive's high id byte, the value equals that byte.
enum class DatFileType : std::uint32_t {
    Model = 0x01,
    SetupModel = 0x02,
    Animation = 0x03,
    Palette = 0x04,
    SurfaceTexture = 0x05,
    Texture = 0x06,
    Surface = 0x08,
    MotionTable = 0x09,
    Audio = 0x0A,
    EnvCell = 0x0D,
    Table = 0x0E,
    PaletteSet = 0x0F,
    Clothing = 0x10,
    DegradeInfo = 0x11,
    Scene = 0x12,
    Region = 0x13,
    Keymap = 0x14,
    RenderTexture = 0x15,
    RenderMaterial = 0x16,
    MaterialModifier = 0x17,
    MaterialInstance = 0x18,
    RenderMesh = 0x19,
    SoundTable = 0x20,
    Layout = 0x21,
    EnumMapper = 0x22,
    StringTable = 0x23,
    StringTableString = 0x24,
    DataIDMapper = 0x25,
    ActionMap = 0x26,
    DualDataIDMapper = 0x27,
    CombatManeuverTable = 0x30,
    LanguageString = 0x31,
    ParticleEmitter = 0x32,
    PhysicsScript = 0x33,
    PhysicsScriptTable = 0x34,
    MutateFilter = 0x38,
    MasterProperty = 0x39,
    Font = 0x40,
    StringState = 0x41,
    BSPNodeType = 0x42,
    DatabaseProperties = 0x78,
    Custom = 0xFFFFFF00,
    MotionKinematics = 0xFFFFFF01,
    Landblock = 0xFE,
    LandblockInfo = 0xFF,
    IndoorCell = 0xFD,
    Iteration = 0xFE01,
    Unknown = 0x00,
};

/// The kind of archive, derived from its header (`DatHeader::dat_kind`).
enum class DatKind : std::uint8_t {
    Portal = 0,
    Cell = 1,
    Local = 2,
    Unknown = 3,
};

/// Every `DatFileType`, in declaration order: first the types named by a
/// portal prefix (`kPortalPrefixTypeCount` of them, each equal to its
/// prefix), then `Custom`, `MotionKinematics` and the cell and other types.
inline constexpr std::array<DatFileType, 48> kAllDatFileTypes = {
    DatFileType::Model,
    DatFileType::SetupModel,
    DatFileType::Animation,
    DatFileType::Palette,
    DatFileType::SurfaceTexture,
    DatFileType::Texture,
    DatFileType::Surface,
    DatFileType::MotionTable,
    DatFileType::Audio,
    DatFileType::EnvCell,
    DatFileType::Table,
    DatFileType::PaletteSet,
    DatFileType::Clothing,
    DatFileType::DegradeInfo,
    DatFileType::Scene,
    DatFileType::Region,
    DatFileType::Keymap,
    DatFileType::RenderTexture,
    DatFileType::RenderMaterial,
    DatFileType::MaterialModifier,
    DatFileType::MaterialInstance,
    DatFileType::RenderMesh,
    DatFileType::SoundTable,
    DatFileType::Layout,
    DatFileType::EnumMapper,
    DatFileType::StringTable,
    DatFileType::StringTableString,
    DatFileType::DataIDMapper,
    DatFileType::ActionMap,
    DatFileType::DualDataIDMapper,
    DatFileType::CombatManeuverTable,
    DatFileType::LanguageString,
    DatFileType::ParticleEmitter,
    DatFileType::PhysicsScript,
    DatFileType::PhysicsScriptTable,
    DatFileType::MutateFilter,
    DatFileType::MasterProperty,
    DatFileType::Font,
    DatFileType::StringState,
    DatFileType::BSPNodeType,
    DatFileType::DatabaseProperties,
    DatFileType::Custom,
    DatFileType::MotionKinematics,
    DatFileType::Landblock,
    DatFileType::LandblockInfo,
    DatFileType::IndoorCell,
    DatFileType::Iteration,
    DatFileType::Unknown,
};

/// How many of `kAllDatFileTypes`, from the first, a portal prefix names.
inline constexpr std::size_t kPortalPrefixTypeCount = 41;

static_assert(kAllDatFileTypes[kPortalPrefixTypeCount - 1] == DatFileType::DatabaseProperties);

/// Every `DatKind`, in declaration order.
inline constexpr std::array<DatKind, 4> kAllDatKinds = {DatKind::Portal, DatKind::Cell,
                                                        DatKind::Local, DatKind::Unknown};

/// The variant's name as declared, e.g. "Font"; "?" for a value that is no
/// variant (only reachable by casting).
std::string_view name(DatFileType type);

/// The variant's name as declared, e.g. "Portal"; "?" for a value that is no
/// variant.
std::string_view name(DatKind kind);

/// Classification of file ids. C++ enumerations carry no functions, so the
/// operations of `DatFileType` live in this namespace:
/// `file_type::from_id_in_dat(id, kind)`. All are pure, allocate nothing and
/// cannot fail.
namespace file_type {

namespace detail {

/// The type named by each portal high byte; `Unknown` where none is.
constexpr std::array<DatFileType, 256> make_portal_prefix_table() {
    std::array<DatFileType, 256> table{};
    for (DatFileType& entry : table) {
        entry = DatFileType::Unknown;
    }
    for (std::size_t i = 0; i < kPortalPrefixTypeCount; ++i) {
        table[static_cast<std::uint32_t>(kAllDatFileTypes[i])] = kAllDatFileTypes[i];
    }
    // Textures come under two prefixes; no type has the value 7.
    table[0x07] = DatFileType::Texture;
    return table;
}

inline constexpr std::array<DatFileType, 256> kPortalPrefixTable = make_portal_prefix_table();

/// The type a cell archive gives an id's low sixteen bits.
constexpr DatFileType classify_cell_suffix(std::uint32_t suffix) {
    if (suffix == 0xFFFF) {
        return DatFileType::Landblock;
    }
    if (suffix == 0xFFFE) {
        return DatFileType::LandblockInfo;
    }
    if (suffix != 0) {
        return DatFileType::IndoorCell;
    }
    return DatFileType::Unknown;
}

/// The one id that names the iteration record in any archive.
inline constexpr std::uint32_t kIterationId = 0xFFFF0001;

}  // namespace detail

/// The type named by a portal archive's high id byte; `Unknown` for a byte
/// that names none.
constexpr DatFileType classify_portal_prefix(std::uint8_t prefix) {
    return detail::kPortalPrefixTable[prefix];
}

/// The type of an id whose archive kind is not known: landblock ids (low half
/// 0xFFFF, 0xFFFE) first, then the portal prefix, then any other non-zero low
/// half as an indoor cell.
constexpr DatFileType from_id(std::uint32_t id) {
    if (id == detail::kIterationId) {
        return DatFileType::Iteration;
    }
    const std::uint32_t suffix = id & 0xFFFF;
    if (suffix == 0xFFFF) {
        return DatFileType::Landblock;
    }
    if (suffix == 0xFFFE) {
        return DatFileType::LandblockInfo;
    }
    const DatFileType portal_guess = classify_portal_prefix(static_cast<std::uint8_t>(id >> 24));
    if (portal_guess != DatFileType::Unknown) {
        return portal_guess;
    }
    return suffix != 0 ? DatFileType::IndoorCell : DatFileType::Unknown;
}

/// The type of an id from an archive of the given kind: portal and local
/// archives look only at the high byte, cell archives only at the low half,
/// and an unknown kind falls back to `from_id`.
constexpr DatFileType from_id_in_dat(std::uint32_t id, DatKind dat_kind) {
    if (id == detail::kIterationId) {
        return DatFileType::Iteration;
    }
    switch (dat_kind) {
        case DatKind::Portal:
        case DatKind::Local:
            return classify_portal_prefix(static_cast<std::uint8_t>(id >> 24));
        case DatKind::Cell:
            return detail::classify_cell_suffix(id & 0xFFFF);
        case DatKind::Unknown:
            break;
    }
    return from_id(id);
}

}  // namespace file_type

}  // namespace tarnwick_dat

/// Formats a file type by its name, e.g. "Font".
template <>
struct fmt::formatter<tarnwick_dat::DatFileType> : fmt::formatter<std::string_view> {
    auto format(tarnwick_dat::DatFileType type, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(tarnwick_dat::name(type), ctx);
    }
};

/// Formats an archive kind by its name, e.g. "Portal".
template <>
struct fmt::formatter<tarnwick_dat::DatKind> : fmt::formatter<std::string_view> {
    auto format(tarnwick_dat::DatKind kind, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(tarnwick_dat::name(kind), ctx);
    }
};
