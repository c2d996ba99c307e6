#include "sigscan/scanner.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "sigscan/carve_input.hpp"
#include "sigscan/rules/rules.hpp"
#include "sigscan/sc_api.hpp"

namespace qv::sig {

namespace {

constexpr uint64_t sector_size = 512;

// Header patterns grouped by the position of their first fixed byte, each
// group indexed by that byte's value: one table look-up per group and offset.
class dispatcher {
public:
    struct candidate {
        uint32_t type;
        uint32_t header;
    };

    explicit dispatcher(const signature_config& config) {
        for (uint32_t t = 0; t < config.types.size(); ++t) {
            const auto& headers = config.types[t].headers;
            for (uint32_t h = 0; h < headers.size(); ++h) {
                const byte_pattern& p = headers[h];
                uint32_t id = uint32_t(candidates_.size());
                candidates_.push_back({t, h});
                lookahead_ = std::max(lookahead_, p.size());
                auto g = std::find_if(groups_.begin(), groups_.end(),
                                      [&](const group& x) { return x.anchor == p.anchor(); });
                if (g == groups_.end()) {
                    groups_.push_back(group{p.anchor(), {}, {}, {}});
                    g = groups_.end() - 1;
                }
                const size_t a = p.anchor();
                g->ids[p.byte(a)].push_back(id);
                g->any[p.byte(a)] = 1;
                // Pairs of the dispatch byte and the one after it: a far finer first test.
                bool second_fixed = a + 1 < p.size() && !p.is_wild(a + 1);
                for (unsigned b = 0; b < 256; ++b) {
                    if (second_fixed && b != p.byte(a + 1)) continue;
                    unsigned pair = unsigned(p.byte(a)) << 8 | b;
                    g->pairs[pair >> 6] |= uint64_t(1) << (pair & 63);
                }
            }
        }
    }

    size_t lookahead() const { return lookahead_; }
    const candidate& at(uint32_t id) const { return candidates_[id]; }

    // Ids of the headers whose dispatch byte matches at data[i], in configuration order.
    // data holds size bytes. Returns how many were written to out.
    size_t collect(const uint8_t* data, size_t i, size_t size, std::vector<uint32_t>& out) const {
        out.clear();
        for (const group& g : groups_) {
            size_t k = i + g.anchor;
            if (k >= size || !g.any[data[k]]) continue;
            const auto& ids = g.ids[data[k]];
            out.insert(out.end(), ids.begin(), ids.end());
        }
        if (out.size() > 1) std::sort(out.begin(), out.end());
        return out.size();
    }

    // The first i in [from, to), stepping by step, where a header may start;
    // to when there is none. data holds size bytes.
    size_t next_candidate(const uint8_t* data, size_t from, size_t to, size_t step, size_t size) const {
        if (step == 1 && (groups_.size() == 1 || groups_.size() == 2)) {  // kept tight
            const group& g0 = groups_[0];
            const group& g1 = groups_.back();
            const uint64_t* p0 = g0.pairs.data();
            const uint64_t* p1 = g1.pairs.data();
            const size_t a0 = g0.anchor, a1 = g1.anchor;
            const size_t reach = std::max(a0, a1) + 1;
            size_t stop = size > reach ? std::min(to, size - reach) : from;
            for (size_t i = from; i < stop; ++i) {
                unsigned x = unsigned(data[i + a0]) << 8 | data[i + a0 + 1];
                unsigned y = unsigned(data[i + a1]) << 8 | data[i + a1 + 1];
                if (((p0[x >> 6] >> (x & 63)) | (p1[y >> 6] >> (y & 63))) & 1) return i;
            }
            from = std::max(from, stop);
        }
        for (size_t i = from; i < to; i += step)
            if (maybe(data, i, size)) return i;
        return to;
    }

    // Quick test: can any header start at data[i]?
    bool maybe(const uint8_t* data, size_t i, size_t size) const {
        for (const group& g : groups_) {
            size_t k = i + g.anchor;
            if (k + 1 < size) {
                unsigned pair = unsigned(data[k]) << 8 | data[k + 1];
                if (g.pairs[pair >> 6] >> (pair & 63) & 1) return true;
            } else if (k < size && g.any[data[k]]) {
                return true;
            }
        }
        return false;
    }

private:
    struct group {
        size_t anchor;
        std::array<std::vector<uint32_t>, 256> ids;
        std::array<uint8_t, 256> any;
        std::array<uint64_t, 1024> pairs;  // 65536 bits: (dispatch byte, next byte) seen in a header
    };
    std::vector<group> groups_;
    std::vector<candidate> candidates_;
    size_t lookahead_ = 0;
};

void set_scanned(scan_gate* gate, double value) {
    if (gate) gate->scanned(value);
}

}  // namespace

scan_end scan_device(device_handle& device, const signature_config& config,
                     const scan_options& options, scan_gate* gate, const found_fn& found) {
    const uint64_t length = device.length();
    const uint64_t step = options.every_byte ? 1 : sector_size;
    const size_t block = std::max<size_t>(options.block_size / sector_size * sector_size, sector_size);
    dispatcher dispatch(config);
    std::vector<uint8_t> buffer(block + dispatch.lookahead());
    std::vector<uint32_t> ids;
    carve_input input(device, gate);
    set_scanned(gate, 0.0);

    uint64_t pos = 0;
    while (pos < length) {
        if (!scan_checkpoint(gate)) return scan_end::stopped;
        size_t want = size_t(std::min<uint64_t>(buffer.size(), length - pos));
        int64_t got = device.read_at(pos, buffer.data(), want);
        const uint64_t block_end = std::min<uint64_t>(pos + block, length);
        if (got <= 0) {  // unreadable: go on after this block
            pos = block_end;
            set_scanned(gate, double(pos) / double(length));
            continue;
        }
        const size_t filled = size_t(got);
        const uint8_t* data = buffer.data();
        input.set_block(data, pos, filled);
        const uint64_t scan_end_at = std::min<uint64_t>(block_end, pos + filled);
        uint64_t next = scan_end_at;
        const size_t end_i = size_t(scan_end_at - pos);
        for (uint64_t c = pos; c < scan_end_at; c += step) {
            size_t i = dispatch.next_candidate(data, size_t(c - pos), end_i, size_t(step), filled);
            if (i >= end_i) break;
            c = pos + i;
            dispatch.collect(data, i, filled, ids);
            bool leave = false;
            for (uint32_t id : ids) {
                const auto& cand = dispatch.at(id);
                const file_type& type = config.types[cand.type];
                const byte_pattern& header = type.headers[cand.header];
                if (i + header.size() > filled || !header.matches(data + i)) continue;
                const uint64_t limit = std::min(type.max_size, length - c);
                auto result = rule_for(type.rule)(input, c, limit, type);
                if (input.stopped()) return scan_end::stopped;
                if (!result || result->size == 0 || result->size > limit) continue;
                const std::string name = result->type.empty() ? type.name : std::string(result->type);
                if (found) found(name.c_str(), c, result->size);
                // Go on after the file: what lies inside it is part of it.
                uint64_t after = c + result->size;
                if (step > 1) after = (after + step - 1) / step * step;
                if (after >= scan_end_at) {
                    next = after;
                    leave = true;
                } else {
                    c = after - step;  // the loop adds step
                }
                break;
            }
            if (leave) break;
        }
        pos = std::max(next, scan_end_at);
        set_scanned(gate, std::min(1.0, double(pos) / double(length)));
    }
    set_scanned(gate, 1.0);
    return scan_end::finished;
}

}  // namespace qv::sig
