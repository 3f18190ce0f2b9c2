#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "tarnwick_dat/file_type/mod.hpp"

namespace {

using tarnwick_dat::DatFileType;
using tarnwick_dat::DatKind;
namespace file_type = tarnwick_dat::file_type;

// Classification is usable at compile time.
static_assert(file_type::from_id(0x40000012) == DatFileType::Font);
static_assert(file_type::from_id_in_dat(0x0100FFFF, DatKind::Cell) == DatFileType::Landblock);
static_assert(file_type::classify_portal_prefix(0x07) == DatFileType::Texture);

struct Variant {
    DatFileType type;
    std::uint32_t value;
    const char* name;
};

// Every variant in declaration order with its stored value and its name.
const Variant kVariants[] = {
    {DatFileType::Model, 0x01, "Model"},
    {DatFileType::SetupModel, 0x02, "SetupModel"},
    {DatFileType::Animation, 0x03, "Animation"},
    {DatFileType::Palette, 0x04, "Palette"},
    {DatFileType::SurfaceTexture, 0x05, "SurfaceTexture"},
    {DatFileType::Texture, 0x06, "Texture"},
    {DatFileType::Surface, 0x08, "Surface"},
    {DatFileType::MotionTable, 0x09, "MotionTable"},
    {DatFileType::Audio, 0x0A, "Audio"},
    {DatFileType::EnvCell, 0x0D, "EnvCell"},
    {DatFileType::Table, 0x0E, "Table"},
    {DatFileType::PaletteSet, 0x0F, "PaletteSet"},
    {DatFileType::Clothing, 0x10, "Clothing"},
    {DatFileType::DegradeInfo, 0x11, "DegradeInfo"},
    {DatFileType::Scene, 0x12, "Scene"},
    {DatFileType::Region, 0x13, "Region"},
    {DatFileType::Keymap, 0x14, "Keymap"},
    {DatFileType::RenderTexture, 0x15, "RenderTexture"},
    {DatFileType::RenderMaterial, 0x16, "RenderMaterial"},
    {DatFileType::MaterialModifier, 0x17, "MaterialModifier"},
    {DatFileType::MaterialInstance, 0x18, "MaterialInstance"},
    {DatFileType::RenderMesh, 0x19, "RenderMesh"},
    {DatFileType::SoundTable, 0x20, "SoundTable"},
    {DatFileType::Layout, 0x21, "Layout"},
    {DatFileType::EnumMapper, 0x22, "EnumMapper"},
    {DatFileType::StringTable, 0x23, "StringTable"},
    {DatFileType::StringTableString, 0x24, "StringTableString"},
    {DatFileType::DataIDMapper, 0x25, "DataIDMapper"},
    {DatFileType::ActionMap, 0x26, "ActionMap"},
    {DatFileType::DualDataIDMapper, 0x27, "DualDataIDMapper"},
    {DatFileType::CombatManeuverTable, 0x30, "CombatManeuverTable"},
    {DatFileType::LanguageString, 0x31, "LanguageString"},
    {DatFileType::ParticleEmitter, 0x32, "ParticleEmitter"},
    {DatFileType::PhysicsScript, 0x33, "PhysicsScript"},
    {DatFileType::PhysicsScriptTable, 0x34, "PhysicsScriptTable"},
    {DatFileType::MutateFilter, 0x38, "MutateFilter"},
    {DatFileType::MasterProperty, 0x39, "MasterProperty"},
    {DatFileType::Font, 0x40, "Font"},
    {DatFileType::StringState, 0x41, "StringState"},
    {DatFileType::BSPNodeType, 0x42, "BSPNodeType"},
    {DatFileType::DatabaseProperties, 0x78, "DatabaseProperties"},
    {DatFileType::Custom, 0xFFFFFF00, "Custom"},
    {DatFileType::MotionKinematics, 0xFFFFFF01, "MotionKinematics"},
    {DatFileType::Landblock, 0xFE, "Landblock"},
    {DatFileType::LandblockInfo, 0xFF, "LandblockInfo"},
    {DatFileType::IndoorCell, 0xFD, "IndoorCell"},
    {DatFileType::Iteration, 0xFE01, "Iteration"},
    {DatFileType::Unknown, 0x00, "Unknown"},
};

TEST(DatFileTypeValues, EveryVariantHasItsValueAndName) {
    for (const Variant& v : kVariants) {
        EXPECT_EQ(static_cast<std::uint32_t>(v.type), v.value) << v.name;
        EXPECT_EQ(tarnwick_dat::name(v.type), v.name);
        EXPECT_EQ(fmt::format("{}", v.type), v.name);
    }
    static_assert(sizeof(DatFileType) == 4);
}

TEST(DatKindValues, EveryVariantHasItsValueAndName) {
    const std::pair<DatKind, const char*> kinds[] = {{DatKind::Portal, "Portal"},
                                                     {DatKind::Cell, "Cell"},
                                                     {DatKind::Local, "Local"},
                                                     {DatKind::Unknown, "Unknown"}};
    std::uint8_t value = 0;
    for (const auto& [kind, text] : kinds) {
        EXPECT_EQ(static_cast<std::uint8_t>(kind), value++);
        EXPECT_EQ(tarnwick_dat::name(kind), text);
        EXPECT_EQ(fmt::format("{}", kind), text);
    }
    static_assert(sizeof(DatKind) == 1);
}

TEST(ClassifyPortalPrefix, EveryByteOfTheTable) {
    // Named prefixes map to the variant of equal value, 0x07 to Texture.
    std::map<std::uint8_t, DatFileType> named;
    for (const Variant& v : kVariants) {
        if (v.value >= 0x01 && v.value <= 0x78) {
            named[static_cast<std::uint8_t>(v.value)] = v.type;
        }
    }
    named[0x07] = DatFileType::Texture;
    ASSERT_EQ(named.size(), 42u);
    for (unsigned prefix = 0; prefix < 256; ++prefix) {
        const auto found = named.find(static_cast<std::uint8_t>(prefix));
        const DatFileType expected = found == named.end() ? DatFileType::Unknown : found->second;
        EXPECT_EQ(file_type::classify_portal_prefix(static_cast<std::uint8_t>(prefix)), expected)
            << fmt::format("prefix 0x{:02X}", prefix);
    }
}

TEST(ClassifyPortalPrefix, UnnamedRangesAreUnknown) {
    const std::pair<unsigned, unsigned> ranges[] = {{0x00, 0x00}, {0x0B, 0x0C}, {0x1A, 0x1F},
                                                    {0x28, 0x2F}, {0x35, 0x37}, {0x3A, 0x3F},
                                                    {0x43, 0x77}, {0x79, 0xFF}};
    for (const auto& [first, last] : ranges) {
        for (unsigned prefix = first; prefix <= last; ++prefix) {
            EXPECT_EQ(file_type::classify_portal_prefix(static_cast<std::uint8_t>(prefix)),
                      DatFileType::Unknown)
                << fmt::format("prefix 0x{:02X}", prefix);
        }
    }
}

struct Example {
    std::uint32_t id;
    DatFileType from_id;
    DatFileType portal_or_local;
    DatFileType cell;
    DatFileType unknown;
};

TEST(Classification, WorkedExamples) {
    using T = DatFileType;
    const Example examples[] = {
        {0x40000012, T::Font, T::Font, T::IndoorCell, T::Font},
        {0x40000000, T::Font, T::Font, T::Unknown, T::Font},
        {0x0100FFFF, T::Landblock, T::Model, T::Landblock, T::Landblock},
        {0x0100FFFE, T::LandblockInfo, T::Model, T::LandblockInfo, T::LandblockInfo},
        {0x07000001, T::Texture, T::Texture, T::IndoorCell, T::Texture},
        {0x0B000001, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
        {0x0B000000, T::Unknown, T::Unknown, T::Unknown, T::Unknown},
        {0xFFFF0001, T::Iteration, T::Iteration, T::Iteration, T::Iteration},
        {0x78000000, T::DatabaseProperties, T::DatabaseProperties, T::Unknown,
         T::DatabaseProperties},
        // Edge cases around the whole-id and low-half tests.
        {0x00000000, T::Unknown, T::Unknown, T::Unknown, T::Unknown},
        {0xFFFF0000, T::Unknown, T::Unknown, T::Unknown, T::Unknown},
        {0xFFFF0002, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
        {0x4000FFFF, T::Landblock, T::Font, T::Landblock, T::Landblock},
        {0x4000FFFE, T::LandblockInfo, T::Font, T::LandblockInfo, T::LandblockInfo},
        {0x0600FFFD, T::Texture, T::Texture, T::IndoorCell, T::Texture},
        {0x1A340001, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
        {0x12340001, T::Scene, T::Scene, T::IndoorCell, T::Scene},
        {0xFE00FFFD, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
    };
    for (const Example& e : examples) {
        SCOPED_TRACE(fmt::format("id 0x{:08X}", e.id));
        EXPECT_EQ(file_type::from_id(e.id), e.from_id);
        EXPECT_EQ(file_type::from_id_in_dat(e.id, DatKind::Portal), e.portal_or_local);
        EXPECT_EQ(file_type::from_id_in_dat(e.id, DatKind::Local), e.portal_or_local);
        EXPECT_EQ(file_type::from_id_in_dat(e.id, DatKind::Cell), e.cell);
        EXPECT_EQ(file_type::from_id_in_dat(e.id, DatKind::Unknown), e.unknown);
    }
}

TEST(Classification, NoIdIsCustomMotionKinematicsOrSeven) {
    const DatKind kinds[] = {DatKind::Portal, DatKind::Cell, DatKind::Local, DatKind::Unknown};
    const std::uint32_t lows[] = {0x0000, 0x0001, 0x0007, 0xFF00, 0xFF01, 0xFFFD, 0xFFFE, 0xFFFF};
    for (std::uint32_t prefix = 0; prefix < 256; ++prefix) {
        for (const std::uint32_t middle : {0x00u, 0xFFu}) {
            for (const std::uint32_t low : lows) {
                const std::uint32_t id = prefix << 24 | middle << 16 | low;
                std::vector<DatFileType> results = {file_type::from_id(id)};
                for (const DatKind kind : kinds) {
                    results.push_back(file_type::from_id_in_dat(id, kind));
                }
                for (const DatFileType type : results) {
                    EXPECT_NE(type, DatFileType::Custom);
                    EXPECT_NE(type, DatFileType::MotionKinematics);
                    EXPECT_NE(static_cast<std::uint32_t>(type), 7u);
                }
            }
        }
    }
}

}  // namespace
