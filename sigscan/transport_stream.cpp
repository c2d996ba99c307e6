#include "sigscan/transport_stream.hpp"

#include <algorithm>
#include <utility>

namespace qv::sig {

namespace {

constexpr uint8_t pat_table = 0x00, pmt_table = 0x02;
constexpr uint8_t h264_stream = 0x1B, hevc_stream = 0x24;
constexpr size_t section_head = 8;  // table id to last section number
constexpr size_t crc_bytes = 4;

// The section the packet opens (pointer field skipped) and its length with
// its 3-byte head, when it lies whole in the packet.
std::optional<std::pair<const uint8_t*, size_t>> section_of(const uint8_t* p, const ts_header& h) {
    if (!h.unit_start || !h.payload || h.payload_at >= ts_packet_bytes) return std::nullopt;
    const size_t at = h.payload_at + 1 + p[h.payload_at];
    if (at + 3 > ts_packet_bytes) return std::nullopt;
    const size_t length = size_t(p[at + 1] & 0x0F) << 8 | p[at + 2];
    if (at + 3 + length > ts_packet_bytes || length < section_head + crc_bytes - 3) return std::nullopt;
    return std::pair{p + at, length + 3};
}

uint16_t pid_at(const uint8_t* p) { return uint16_t((p[0] & 0x1F) << 8 | p[1]); }

}  // namespace

std::optional<ts_layout> ts_layout_at(carve_input& in, uint64_t start) {
    constexpr uint64_t timestamped = 192, time_bytes = 4;
    uint8_t b = 0;
    auto sync = [&](uint64_t at) { return in.read(at, &b, 1) && b == ts_sync_byte; };
    if (sync(start) && sync(start + ts_packet_bytes)) return ts_layout{ts_packet_bytes, 0};
    if (sync(start + time_bytes) && sync(start + time_bytes + timestamped)) return ts_layout{timestamped, time_bytes};
    return std::nullopt;
}

std::optional<ts_header> read_ts_header(const uint8_t* p) {
    if (p[0] != ts_sync_byte || (p[1] & 0x80)) return std::nullopt;
    ts_header h;
    h.pid = pid_at(p + 1);
    h.unit_start = p[1] & 0x40;
    const int control = (p[3] >> 4) & 3;
    if (control == 0) return std::nullopt;
    h.payload = control & 1;
    h.counter = p[3] & 15;
    h.payload_at = 4;
    if (control & 2) {
        const size_t length = p[4];
        if (h.payload ? length > 182 : length != 183) return std::nullopt;
        if (length > 0) {
            h.discontinuity = p[5] & 0x80;
            h.random_access = p[5] & 0x40;
            if ((p[5] & 0x10) && length >= 7) {
                const uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 |
                                      uint64_t(p[9]) << 1 | uint64_t(p[10] >> 7);
                h.pcr = base * 300 + (uint64_t(p[10] & 1) << 8 | p[11]);
                h.has_pcr = true;
            }
        }
        h.payload_at = 5 + length;
    }
    return h;
}

void ts_program::learn(const uint8_t* p, const ts_header& h) {
    if (!wants(h.pid)) return;
    if (h.pid == ts_pat_pid && pmt_pid == ts_null_pid) {
        const auto s = section_of(p, h);
        if (!s || s->first[0] != pat_table) return;
        for (size_t at = section_head; at + 4 <= s->second - crc_bytes; at += 4) {
            const unsigned program = unsigned(s->first[at]) << 8 | s->first[at + 1];
            if (program != 0) {  // 0 names the network table
                pmt_pid = pid_at(s->first + at + 2);
                return;
            }
        }
    } else {
        const auto s = section_of(p, h);
        if (!s || s->first[0] != pmt_table || s->second < section_head + 4 + crc_bytes) return;
        const uint8_t* t = s->first;
        pcr_pid = pid_at(t + section_head);
        size_t at = section_head + 4 + (size_t(t[section_head + 2] & 0x0F) << 8 | t[section_head + 3]);
        while (at + 5 <= s->second - crc_bytes) {
            const uint16_t pid = pid_at(t + at + 1);
            streams.push_back(pid);
            if (video_pid == ts_null_pid && (t[at] == h264_stream || t[at] == hevc_stream)) {
                video_pid = pid;
                coding = t[at] == h264_stream ? video_coding::h264 : video_coding::hevc;
            }
            at += 5 + (size_t(t[at + 3] & 0x0F) << 8 | t[at + 4]);
        }
    }
}

bool ts_program::lists(uint16_t pid) const {
    return pid == pmt_pid || std::find(streams.begin(), streams.end(), pid) != streams.end();
}

}  // namespace qv::sig
