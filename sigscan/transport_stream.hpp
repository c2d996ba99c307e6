#pragma once
// MPEG transport stream packets as the carver reads them: a packet's header
// fields, and the programme its PAT and PMT sections describe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sigscan/carve_input.hpp"
#include "sigscan/video_decode.hpp"

namespace qv::sig {

constexpr uint8_t ts_sync_byte = 0x47;
constexpr uint16_t ts_pat_pid = 0;
constexpr uint16_t ts_null_pid = 0x1FFF;
constexpr size_t ts_packet_bytes = 188;  // from the sync byte; M2TS puts 4 bytes of time before it

// How the packets of a stream lie: 188 bytes from the sync byte, or 192 with
// 4 bytes of time before it (M2TS).
struct ts_layout {
    uint64_t packet = ts_packet_bytes;
    uint64_t sync_at = 0;
};
// The layout of the packets from start: empty unless its first two packets
// begin with sync bytes in one of them.
std::optional<ts_layout> ts_layout_at(carve_input& in, uint64_t start);

struct ts_header {
    uint16_t pid = 0;
    bool unit_start = false;
    bool payload = false;
    int counter = 0;
    bool discontinuity = false;
    bool random_access = false;
    bool has_pcr = false;
    uint64_t pcr = 0;                     // 27 MHz
    size_t payload_at = ts_packet_bytes;  // where the payload begins in the packet
};

// The header of the 188-byte packet at p (its sync byte); empty when it is
// not one a recorder writes (no sync byte, the transport error flag, a
// reserved field, an adaptation field that does not fit).
std::optional<ts_header> read_ts_header(const uint8_t* p);

// The programme: its PMT's stream, its clock's stream, its elementary streams
// and the first video among them, learnt from the first PAT and PMT met.
struct ts_program {
    uint16_t pmt_pid = ts_null_pid;
    uint16_t pcr_pid = ts_null_pid;
    uint16_t video_pid = ts_null_pid;
    video_coding coding = video_coding::h264;
    std::vector<uint16_t> streams;  // the PMT's elementary streams

    // True while a packet of this stream that opens a section could still
    // teach it something (the PAT before it is learnt, then the PMT).
    bool wants(uint16_t pid) const {
        return (pid == ts_pat_pid && pmt_pid == ts_null_pid) || (pid == pmt_pid && pid != ts_null_pid && streams.empty());
    }
    // Takes in the 188-byte packet at p, its header h, when it opens a PAT or PMT section.
    void learn(const uint8_t* p, const ts_header& h);
    // True for the streams the PMT lists, and the PMT's own.
    bool lists(uint16_t pid) const;
};

}  // namespace qv::sig
