#include "engine/engine_choice.hpp"

namespace qv {

recovery_engine_kind choose_engine(std::string_view file_system, bool deep) {
    if (deep) return engine_kind_deep;
    if (file_system == "NTFS") return engine_kind_ntfs;
    if (file_system == "exFAT") return engine_kind_exfat;
    if (file_system.substr(0, 3) == "FAT") return engine_kind_fat;
    return engine_kind_none;
}

std::string engine_name(recovery_engine_kind kind) {
    switch (kind) {
        case engine_kind_fat:
            return "fat";
        case engine_kind_ntfs:
            return "ntfs";
        case engine_kind_exfat:
            return "exfat";
        case engine_kind_deep:
            return "deep";
        default:
            return {};
    }
}

}  // namespace qv
