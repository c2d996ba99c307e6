#include "sigscan/sc_api.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "devices/device_catalog.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scanner.hpp"

namespace qv {

struct sc_device {
    std::unique_ptr<qv::device_handle> device;
    uint64_t position = 0;
};

}  // namespace qv

namespace {

bool debug_enabled() { return std::getenv("QUORVANE_DEBUG") != nullptr; }

}  // namespace

int32_t sc_load_config(const char* path) {
    using namespace qv::sig;
    std::string why;
    if (auto found = find_config_file(path ? path : "")) {
        if (auto config = load_config_file(*found, &why)) {
            set_current_config(std::make_shared<const signature_config>(std::move(*config)));
            return 0;
        }
    } else {
        why = std::string(path ? path : "(null)") + ": not found";
    }
    if (debug_enabled()) std::fprintf(stderr, "sigscan: %s; using the built-in file types\n", why.c_str());
    set_current_config(nullptr);
    return -1;
}

int32_t sc_scan(sc_context_s* context, const char* device_path) {
    return qv::sc_scan_ex(context, device_path, 0);
}

namespace qv {

int32_t sc_scan_ex(sc_context_s* context, const char* device_path, uint32_t flags) {
    return sc_scan_with(context, device_path, flags, nullptr);
}

int32_t sc_scan_with(sc_context_s* context, const char* device_path, uint32_t flags, sc_scan_state* state) {
    if (!device_path) return -1;
    std::string why;
    auto device = qv::device_catalog::shared().open(device_path, qv::access_mode::read_only, &why);
    if (!device) {
        if (debug_enabled()) std::fprintf(stderr, "sigscan: %s\n", why.c_str());
        return -1;
    }
    auto config = qv::sig::current_config();
    qv::sig::scan_options options;
    options.every_byte = flags & sc_scan_every_byte;
    if (state) {
        options.start = state->start;
        options.at_block = state->at_block;
        options.bad = &state->bad;
    }
    qv::sig::found_fn report;
    if (context && context->found) {
        sc_found_fn fn = context->found;
        void* owner = context->owner;
        report = [fn, owner](const char* type, uint64_t offset, uint64_t size) { fn(owner, type, offset, size); };
    }
    std::optional<qv::sig::context_gate> gate;
    if (context) gate.emplace(*context);
    auto end = qv::sig::scan_device(*device, *config, options, gate ? &*gate : nullptr, report);
    if (end == qv::sig::scan_end::vanished) {
        if (state) state->vanished = true;
        return 2;
    }
    return end == qv::sig::scan_end::finished ? 0 : 1;
}

}  // namespace qv

qv::sc_handle sc_open(const char* device_path) {
    if (!device_path) return nullptr;
    auto device = qv::device_catalog::shared().open(device_path, qv::access_mode::read_only);
    if (!device) return nullptr;
    auto* handle = new qv::sc_device;
    handle->device = std::move(device);
    return handle;
}

int64_t sc_seek(qv::sc_handle handle, uint64_t offset, int32_t whence) {
    if (!handle) return -1;
    const uint64_t length = handle->device->length();
    uint64_t base = whence == 0 ? 0 : whence == 1 ? handle->position : whence == 2 ? length : ~uint64_t(0);
    if (base == ~uint64_t(0) || offset > length - std::min(base, length) || base > length) return -1;
    handle->position = base + offset;
    return int64_t(handle->position);
}

int32_t sc_read(qv::sc_handle handle, void* buffer, int32_t wanted) {
    if (!handle || !buffer || wanted < 0) return -1;
    int64_t got = handle->device->read_at(handle->position, buffer, size_t(wanted));
    if (got < 0) return -1;
    handle->position += uint64_t(got);
    return int32_t(got);
}

void sc_close(qv::sc_handle handle) { delete handle; }

namespace qv {

uint64_t sc_length(sc_handle handle) { return handle ? handle->device->length() : 0; }

double sc_context_scanned(const sc_context_s& context) {
    return std::atomic_ref<double>(const_cast<double&>(context.scanned)).load(std::memory_order_relaxed);
}
void sc_context_set_scanned(sc_context_s& context, double value) {
    std::atomic_ref<double>(context.scanned).store(value, std::memory_order_relaxed);
}
int32_t sc_context_paused(const sc_context_s& context) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(context.paused)).load(std::memory_order_relaxed);
}
void sc_context_set_paused(sc_context_s& context, int32_t value) {
    std::atomic_ref<int32_t>(context.paused).store(value, std::memory_order_relaxed);
}
int32_t sc_context_stop(const sc_context_s& context) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(context.stop)).load(std::memory_order_relaxed);
}
void sc_context_set_stop(sc_context_s& context, int32_t value) {
    std::atomic_ref<int32_t>(context.stop).store(value, std::memory_order_relaxed);
}

}  // namespace qv
