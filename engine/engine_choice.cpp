#include "engine/engine_choice.hpp"

namespace qv {

const scanner_kind* choose_scanner(std::string_view file_system, bool deep, device_handle* device) {
    if (deep) return &carving_scanner();
    return scanner_for(file_system, device);
}

const scanner_kind* scanner_of_kind(int kind) {
    auto all = scanner_registry();
    return kind >= 0 && size_t(kind) < all.size() ? all[size_t(kind)] : nullptr;
}

recovery_engine_kind kind_of_scanner(const scanner_kind& kind) {
    auto all = scanner_registry();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == &kind) return recovery_engine_kind(i);
    return engine_kind_none;
}

recovery_engine_kind choose_engine(std::string_view file_system, bool deep, device_handle* device) {
    const scanner_kind* kind = choose_scanner(file_system, deep, device);
    return kind ? kind_of_scanner(*kind) : engine_kind_none;
}

std::string engine_name(recovery_engine_kind kind) {
    const scanner_kind* scanner = scanner_of_kind(kind);
    return scanner ? std::string(scanner->name) : std::string();
}

}  // namespace qv
