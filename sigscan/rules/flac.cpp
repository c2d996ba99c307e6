// Size rule for FLAC: walks the metadata blocks, then decodes every frame's
// layout (not its samples) to find where the frame and so the stream ends.

#include <algorithm>
#include <cstring>
#include <vector>

#include "sigscan/bit_reader.hpp"
#include "sigscan/crc.hpp"
#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

constexpr size_t streaminfo_length = 34;
constexpr uint64_t max_frame_bytes = 16 * 1024 * 1024;

struct stream_info {
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint64_t total_samples = 0;
    uint32_t max_frame = 0;
};

bool skip_residual(bit_reader& r, uint32_t block_size, uint32_t order) {
    uint32_t method = r.get(2);
    if (method > 1) return false;
    unsigned param_bits = method == 0 ? 4 : 5;
    uint32_t escape = method == 0 ? 15 : 31;
    uint32_t partition_order = r.get(4);
    uint32_t partitions = 1u << partition_order;
    if ((block_size >> partition_order) < order || (block_size & (partitions - 1)) != 0) return false;
    for (uint32_t p = 0; p < partitions && r.ok(); ++p) {
        uint32_t samples = (block_size >> partition_order) - (p == 0 ? order : 0);
        uint32_t param = r.get(param_bits);
        if (param == escape) {
            r.skip(uint64_t(samples) * r.get(5));
        } else {
            for (uint32_t s = 0; s < samples && r.ok(); ++s) {
                r.unary();
                r.skip(param);
            }
        }
    }
    return r.ok();
}

bool skip_subframe(bit_reader& r, uint32_t block_size, uint32_t bits) {
    if (r.get(1) != 0) return false;
    uint32_t type = r.get(6);
    if (r.get(1)) {
        uint64_t wasted = r.unary() + 1;
        if (wasted >= bits) return false;
        bits -= uint32_t(wasted);
    }
    if (type == 0) {
        r.skip(bits);
    } else if (type == 1) {
        r.skip(uint64_t(bits) * block_size);
    } else if (type >= 8 && type <= 12) {
        uint32_t order = type - 8;
        r.skip(uint64_t(order) * bits);
        if (!skip_residual(r, block_size, order)) return false;
    } else if (type >= 32) {
        uint32_t order = (type & 31) + 1;
        r.skip(uint64_t(order) * bits);
        uint32_t precision = r.get(4);
        if (precision == 15) return false;
        r.skip(5);
        r.skip(uint64_t(order) * (precision + 1));
        if (!skip_residual(r, block_size, order)) return false;
    } else {
        return false;
    }
    return r.ok();
}

// The length of the frame at the start of data; 0 when it is not a valid
// frame, -1 when data ends before the frame does. *samples receives its block size.
int64_t frame_length(const uint8_t* data, size_t size, const stream_info& info, uint32_t* samples) {
    bit_reader r(data, size);
    if (r.get(14) != 0x3FFE || r.get(1) != 0) return 0;
    r.get(1);  // blocking strategy
    uint32_t size_code = r.get(4), rate_code = r.get(4), channel_code = r.get(4), bits_code = r.get(3);
    if (r.get(1) != 0 || size_code == 0 || rate_code == 15 || channel_code > 10 || bits_code == 3)
        return 0;
    // The frame or sample number, coded like UTF-8.
    uint32_t lead = r.get(8);
    int extra = 0;
    if (lead & 0x80) {
        if ((lead & 0xC0) == 0x80 || lead == 0xFF) return 0;
        while (lead & (0x40 >> extra)) ++extra;
        for (int i = 0; i < extra; ++i) {
            if (r.get(2) != 2) return 0;
            r.get(6);
        }
    }
    uint32_t block = 0;
    if (size_code == 1) block = 192;
    else if (size_code <= 5) block = 576u << (size_code - 2);
    else if (size_code == 6) block = r.get(8) + 1;
    else if (size_code == 7) block = r.get(16) + 1;
    else block = 256u << (size_code - 8);
    if (rate_code == 12) r.get(8);
    else if (rate_code == 13 || rate_code == 14) r.get(16);
    if (!r.ok()) return 0;
    size_t header_bytes = size_t(r.position() / 8);
    if (flac_crc8(0, data, header_bytes) != r.get(8)) return 0;
    static constexpr uint32_t sizes[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    uint32_t bits = bits_code == 0 ? info.bits : sizes[bits_code];
    if (bits == 0 || bits > 32) return 0;
    uint32_t channels = channel_code < 8 ? channel_code + 1 : 2;
    for (uint32_t c = 0; c < channels; ++c) {
        bool side = (channel_code == 8 && c == 1) || (channel_code == 9 && c == 0) ||
                    (channel_code == 10 && c == 1);
        if (!skip_subframe(r, block, bits + (side ? 1 : 0))) return r.ok() ? 0 : -1;
    }
    r.align();
    uint64_t body = r.position() / 8;
    if (body + 2 > size) return -1;
    if (flac_crc16(0, data, size_t(body) + 2) != 0) return 0;
    *samples = block;
    return int64_t(body) + 2;
}

}  // namespace

std::optional<carve_result> measure_flac(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t block_header = 4;
    constexpr int max_blocks = 4096;
    const uint64_t end = start + limit;
    uint64_t pos = start + 4;
    stream_info info;
    for (int blocks = 0;; ++blocks) {
        uint8_t h[block_header + streaminfo_length];
        if (blocks >= max_blocks || !in.read(pos, h, block_header)) return std::nullopt;
        byte_view hv(h, block_header);
        bool last = h[0] & 0x80;
        uint32_t type = h[0] & 0x7F;
        uint32_t length = be32(hv, 0) & 0xFFFFFF;
        if (type == 127 || (blocks == 0 && (type != 0 || length != streaminfo_length))) return std::nullopt;
        if (blocks == 0) {
            if (!in.read(pos, h, sizeof h)) return std::nullopt;
            byte_view s(h + block_header, streaminfo_length);
            info.max_frame = be32(s, 7) >> 8;
            info.sample_rate = be32(s, 10) >> 12;
            info.channels = ((s.u8(12) >> 1) & 7) + 1;
            info.bits = ((be16(s, 12) >> 4) & 31) + 1;
            info.total_samples = (uint64_t(s.u8(13) & 0x0F) << 32) | be32(s, 14);
            if (info.sample_rate == 0 || be16(s, 0) < 16 || be16(s, 2) < be16(s, 0)) return std::nullopt;
        }
        pos += block_header + length;
        if (pos > end) return std::nullopt;
        if (last) break;
    }
    const uint64_t frame_cap = info.max_frame ? std::min<uint64_t>(info.max_frame, max_frame_bytes) : max_frame_bytes;
    std::vector<uint8_t> frame;
    uint64_t samples = 0;
    uint64_t frames = 0;
    uint64_t guess = std::min<uint64_t>(frame_cap + 2, 64 * 1024);
    while (pos < end) {
        if (info.total_samples && samples >= info.total_samples) break;
        int64_t length = 0;
        uint32_t block = 0;
        // Read what the frame probably needs, and more when it runs past that.
        for (uint64_t want = guess;; want = std::min(want * 4, frame_cap + 2)) {
            want = std::min(want, end - pos);
            frame.resize(size_t(want));
            if (!in.read(pos, frame.data(), frame.size())) break;
            length = frame_length(frame.data(), frame.size(), info, &block);
            if (length >= 0 || want >= std::min(frame_cap + 2, end - pos)) break;
        }
        if (length <= 0) break;
        pos += uint64_t(length);
        samples += block;
        if ((++frames & 63) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (frames == 0) return std::nullopt;
    if (info.total_samples && samples < info.total_samples) return std::nullopt;
    return sized(pos - start, limit);
}

}  // namespace qv::sig
