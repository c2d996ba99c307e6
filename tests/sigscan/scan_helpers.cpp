#include "tests/sigscan/scan_helpers.hpp"

#include "devices/device_handle.hpp"
#include "sigscan/scanner.hpp"

namespace qv::test {

std::vector<found_item> scan_memory(const std::vector<uint8_t>& image, bool every_byte,
                                    const qv::sig::signature_config* config) {
    qv::memory_device device(image);
    qv::sig::scan_options options;
    options.every_byte = every_byte;
    std::vector<found_item> found;
    qv::sig::scan_device(device, config ? *config : qv::sig::default_config(), options, nullptr,
                         [&](const char* type, uint64_t offset, uint64_t size) {
                             found.push_back({type, offset, size});
                         });
    return found;
}

void run_engine(raw_recovery_c& engine, const std::string& image_path, bool every_byte) {
    volume_item_s volume;
    volume.volume_name = QString::fromStdString(image_path);
    volume.device_name = volume.volume_name;
    engine.reset();
    engine.set_volume(volume);
    engine.set_every_byte(every_byte);
    engine.start();
    engine.wait();
}

std::vector<found_item> engine_items(const raw_recovery_c& engine) {
    std::vector<found_item> out;
    for (const raw_item_s& r : engine.records()) out.push_back({qv::record_type(r), r.offset, r.size});
    return out;
}

}  // namespace qv::test
