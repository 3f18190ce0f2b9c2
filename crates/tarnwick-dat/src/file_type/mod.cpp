#include "mod.hpp"

namespace tarnwick_dat {

std::string_view name(DatFileType type) {
    switch (type) {
        case DatFileType::Model:
            return "Model";
        case DatFileType::SetupModel:
            return "SetupModel";
        case DatFileType::Animation:
            return "Animation";
        case DatFileType::Palette:
            return "Palette";
        case DatFileType::SurfaceTexture:
            return "SurfaceTexture";
        case DatFileType::Texture:
            return "Texture";
        case DatFileType::Surface:
            return "Surface";
        case DatFileType::MotionTable:
            return "MotionTable";
        case DatFileType::Audio:
            return "Audio";
        case DatFileType::EnvCell:
            return "EnvCell";
        case DatFileType::Table:
            return "Table";
        case DatFileType::PaletteSet:
            return "PaletteSet";
        case DatFileType::Clothing:
            return "Clothing";
        case DatFileType::DegradeInfo:
            return "DegradeInfo";
        case DatFileType::Scene:
            return "Scene";
        case DatFileType::Region:
            return "Region";
        case DatFileType::Keymap:
            return "Keymap";
        case DatFileType::RenderTexture:
            return "RenderTexture";
        case DatFileType::RenderMaterial:
            return "RenderMaterial";
        case DatFileType::MaterialModifier:
            return "MaterialModifier";
        case DatFileType::MaterialInstance:
            return "MaterialInstance";
        case DatFileType::RenderMesh:
            return "RenderMesh";
        case DatFileType::SoundTable:
            return "SoundTable";
        case DatFileType::Layout:
            return "Layout";
        case DatFileType::EnumMapper:
            return "EnumMapper";
        case DatFileType::StringTable:
            return "StringTable";
        case DatFileType::StringTableString:
            return "StringTableString";
        case DatFileType::DataIDMapper:
            return "DataIDMapper";
        case DatFileType::ActionMap:
            return "ActionMap";
        case DatFileType::DualDataIDMapper:
            return "DualDataIDMapper";
        case DatFileType::CombatManeuverTable:
            return "CombatManeuverTable";
        case DatFileType::LanguageString:
            return "LanguageString";
        case DatFileType::ParticleEmitter:
            return "ParticleEmitter";
        case DatFileType::PhysicsScript:
            return "PhysicsScript";
        case DatFileType::PhysicsScriptTable:
            return "PhysicsScriptTable";
        case DatFileType::MutateFilter:
            return "MutateFilter";
        case DatFileType::MasterProperty:
            return "MasterProperty";
        case DatFileType::Font:
            return "Font";
        case DatFileType::StringState:
            return "StringState";
        case DatFileType::BSPNodeType:
            return "BSPNodeType";
        case DatFileType::DatabaseProperties:
            return "DatabaseProperties";
        case DatFileType::Custom:
            return "Custom";
        case DatFileType::MotionKinematics:
            return "MotionKinematics";
        case DatFileType::Landblock:
            return "Landblock";
        case DatFileType::LandblockInfo:
            return "LandblockInfo";
        case DatFileType::IndoorCell:
            return "IndoorCell";
        case DatFileType::Iteration:
            return "Iteration";
        case DatFileType::Unknown:
            return "Unknown";
    }
    return "?";
}

std::string_view name(DatKind kind) {
    switch (kind) {
        case DatKind::Portal:
            return "Portal";
        case DatKind::Cell:
            return "Cell";
        case DatKind::Local:
            return "Local";
        case DatKind::Unknown:
            return "Unknown";
    }
    return "?";
}

}  // namespace tarnwick_dat
