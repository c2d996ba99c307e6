// JPEGs found in two pieces. The entropy-coded data of a sequential Huffman
// JPEG is walked code by code (ITU T.81 F.2.2) to find where it stops making
// sense; from the walk's state at each cluster boundary before that point the
// walk goes on into the data at later cluster starts, and a continuation that
// walks to the last MCU and EOI is accepted only when libjpeg then decodes the
// joined file whole, without an error or a corrupt-data warning.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>  // needs size_t and FILE declared first

#include "sigscan/fragment_join.hpp"
#include "sigscan/jpeg_decode.hpp"
#include "sigscan/joined_view.hpp"

namespace qv::sig {

namespace {

constexpr int marker_prefix = 0xFF;
constexpr int stuffed_zero = 0x00;
constexpr int soi = 0xD8, eoi = 0xD9, sos = 0xDA, dht = 0xC4, dri = 0xDD, dqt = 0xDB;
constexpr int sof_baseline = 0xC0, sof_extended = 0xC1;
// Start-of-frame markers run from C0 to CF, less DHT (C4), JPG (C8) and DAC (CC).
constexpr int sof_first = 0xC0, sof_last = 0xCF, jpg_reserved = 0xC8, dac = 0xCC;
constexpr int rst_first = 0xD0, rst_last = 0xD7;
constexpr uint64_t segment_length_size = 2;
constexpr int max_components = 4;
constexpr int max_sampling = 4;
constexpr int max_blocks_in_mcu = 10;
constexpr int block_coefficients = 64;
constexpr int zero_run_16 = 0xF0;  // ZRL: sixteen zero coefficients
constexpr int max_code_length = 16;
constexpr int fast_bits = 8;
constexpr size_t read_piece = 64 * 1024;
// The walks of continuations read in smaller pieces: most stop within a few
// hundred bytes, and each piece read counts against the budget.
constexpr size_t walk_piece = 8 * 1024;
// A continuation opening with this many bytes of one value is no coded data.
constexpr size_t uniform_probe = 512;
// A restart interval this many times the mean of those before it is a sign
// of other data inside it.
constexpr uint64_t long_interval = 4;
// The breaks tried: the cluster boundaries nearest the first wrong byte.
constexpr size_t max_breaks = 16;
// How far the first marker of a continuation is looked for in the quick test.
constexpr uint64_t first_marker_reach = 16 * 1024;

bool is_rst(int m) { return m >= rst_first && m <= rst_last; }

// One Huffman table, decoded the canonical way with an 8-bit first look-up.
struct huffman_table {
    bool defined = false;
    std::array<uint8_t, 1 << fast_bits> fast_length{};  // 0: a longer code, or none
    std::array<uint8_t, 1 << fast_bits> fast_symbol{};
    std::array<int32_t, max_code_length + 1> max_code{};
    std::array<int32_t, max_code_length + 1> min_code{};
    std::array<int32_t, max_code_length + 1> first_value{};
    std::array<uint8_t, 256> values{};

    // counts[l - 1]: how many codes of length l. False for tables no encoder makes.
    bool build(const uint8_t* counts, const uint8_t* symbols, size_t n) {
        int32_t code = 0;
        size_t k = 0;
        fast_length.fill(0);
        for (int l = 1; l <= max_code_length; ++l) {
            const int c = counts[l - 1];
            first_value[size_t(l)] = int32_t(k);
            min_code[size_t(l)] = code;
            for (int i = 0; i < c; ++i, ++code, ++k) {
                if (k >= n) return false;
                values[k] = symbols[k];
                if (l <= fast_bits) {
                    const int shift = fast_bits - l;
                    for (int f = 0; f < (1 << shift); ++f) {
                        fast_length[size_t(code << shift | f)] = uint8_t(l);
                        fast_symbol[size_t(code << shift | f)] = symbols[k];
                    }
                }
            }
            max_code[size_t(l)] = c ? code - 1 : -1;
            if (code >= (1 << l)) return false;  // more codes than the length allows (all ones is kept free)
            code <<= 1;
        }
        defined = k == n;
        return defined;
    }
};

// What the scan's data must code: the MCUs and, in each, which table each block uses.
struct scan_layout {
    uint64_t scan_start = 0;   // file offset of the first entropy-coded byte
    uint64_t mcus = 0;
    uint32_t restart_interval = 0;
    int blocks = 0;
    std::array<int, max_blocks_in_mcu> dc_of{};  // table index per block of an MCU
    std::array<int, max_blocks_in_mcu> ac_of{};
    std::array<int, max_blocks_in_mcu> component_of{};  // scan component per block
    // The largest DC coefficient each scan component's quantizer allows (the
    // DC of a block is eight times its mean sample): data decoded out of step
    // soon adds differences past it.
    std::array<int32_t, max_components> dc_bound{};
    std::array<huffman_table, 4> dc, ac;
    int max_dc_category = 11, max_ac_size = 10;  // 8-bit samples; 15 and 14 for 12-bit
    uint32_t width = 0, height = 0;
};

// Reads the markers of a sequential Huffman JPEG up to its first scan.
// False for what the walk does not follow (progressive, arithmetic coding,
// scans of some components only) and for broken headers.
bool read_layout(carve_input& in, uint64_t start, uint64_t limit, scan_layout& out) {
    struct component {
        int id, h, v, tq;
    };
    std::array<component, max_components> comps{};
    std::array<int32_t, 4> dc_quantizer{};  // 0: table not defined
    int precision = 8;
    int ncomps = 0, hmax = 1, vmax = 1;
    bool frame = false;
    uint64_t pos = 2;  // after SOI
    std::vector<uint8_t> seg;
    while (pos + 4 <= limit) {
        uint8_t m[4];
        if (!in.read(start + pos, m, 2)) return false;
        if (m[0] != marker_prefix) return false;
        if (m[1] == marker_prefix) {
            ++pos;
            continue;
        }
        if (!in.read(start + pos + 2, m + 2, 2)) return false;
        const int marker = m[1];
        const uint64_t length = uint64_t(m[2]) << 8 | m[3];
        if (length < segment_length_size || pos + 2 + length > limit) return false;
        if (marker == soi || marker == eoi || is_rst(marker)) return false;
        const uint64_t body = start + pos + 2 + segment_length_size;
        const size_t body_size = size_t(length - segment_length_size);
        if (marker == dht || marker == dri || marker == sos || marker == dqt || marker == sof_baseline ||
            marker == sof_extended) {
            seg.resize(body_size);
            if (!in.read(body, seg.data(), seg.size())) return false;
        }
        const byte_view v(seg.data(), seg.size());
        if (marker == dht) {
            for (size_t at = 0; at < body_size;) {
                const int cls = v.u8(at) >> 4, id = v.u8(at) & 15;
                if (cls > 1 || id > 3 || !v.has(at + 1, max_code_length)) return false;
                size_t n = 0;
                for (int l = 0; l < max_code_length; ++l) n += v.u8(at + 1 + size_t(l));
                const size_t symbols = at + 1 + max_code_length;
                if (n > 256 || !v.has(symbols, n)) return false;
                huffman_table& t = cls == 0 ? out.dc[size_t(id)] : out.ac[size_t(id)];
                if (!t.build(seg.data() + at + 1, seg.data() + symbols, n)) return false;
                at = symbols + n;
            }
        } else if (marker == dqt) {
            constexpr size_t entries = 64;
            for (size_t at = 0; at < body_size;) {
                const int wide = v.u8(at) >> 4, id = v.u8(at) & 15;
                if (wide > 1 || id > 3 || !v.has(at + 1, entries << wide)) return false;
                dc_quantizer[size_t(id)] = wide ? be16(v, at + 1) : v.u8(at + 1);
                at += 1 + (entries << wide);
            }
        } else if (marker == dri) {
            if (body_size < 2) return false;
            out.restart_interval = be16(v, 0);
        } else if (marker >= sof_first && marker <= sof_last && marker != dht && marker != jpg_reserved &&
                   marker != dac) {
            if (marker != sof_baseline && marker != sof_extended) return false;  // not walked
            constexpr size_t frame_head = 6, component_size = 3;
            if (frame || body_size < frame_head) return false;
            precision = v.u8(0);
            out.height = be16(v, 1);
            out.width = be16(v, 3);
            ncomps = v.u8(5);
            if ((precision != 8 && precision != 12) || out.height == 0 || out.width == 0 || ncomps < 1 ||
                ncomps > max_components || body_size < frame_head + component_size * size_t(ncomps))
                return false;
            if (precision == 12) {
                out.max_dc_category = 15;
                out.max_ac_size = 14;
            }
            for (int c = 0; c < ncomps; ++c) {
                const size_t at = frame_head + component_size * size_t(c);
                comps[size_t(c)] = {v.u8(at), v.u8(at + 1) >> 4, v.u8(at + 1) & 15, v.u8(at + 2)};
                const component& k = comps[size_t(c)];
                if (k.h < 1 || k.h > max_sampling || k.v < 1 || k.v > max_sampling || k.tq > 3) return false;
                hmax = std::max(hmax, k.h);
                vmax = std::max(vmax, k.v);
            }
            frame = true;
        } else if (marker == sos) {
            const int ns = v.u8(0);
            if (!frame || ns != ncomps || body_size < size_t(1 + 2 * ns + 3)) return false;
            const size_t tail = size_t(1 + 2 * ns);
            // Spectral selection 0 to 63, no successive approximation: sequential.
            if (v.u8(tail) != 0 || v.u8(tail + 1) != block_coefficients - 1 || v.u8(tail + 2) != 0) return false;
            out.blocks = 0;
            for (int s = 0; s < ns; ++s) {
                const int id = v.u8(size_t(1 + 2 * s)), tables = v.u8(size_t(2 + 2 * s));
                const int td = tables >> 4, ta = tables & 15;
                if (td > 3 || ta > 3 || !out.dc[size_t(td)].defined || !out.ac[size_t(ta)].defined) return false;
                const auto c = std::find_if(comps.begin(), comps.begin() + ncomps, [&](const component& k) { return k.id == id; });
                if (c == comps.begin() + ncomps) return false;
                // One component alone: one block an MCU, whatever its sampling.
                const int n = ns == 1 ? 1 : c->h * c->v;
                if (out.blocks + n > max_blocks_in_mcu) return false;
                for (int b = 0; b < n; ++b) {
                    out.dc_of[size_t(out.blocks)] = td;
                    out.ac_of[size_t(out.blocks)] = ta;
                    out.component_of[size_t(out.blocks)] = s;
                    ++out.blocks;
                }
                // The DC of a block of samples all at one end, quantized, rounded;
                // no bound where the quantizer is not known.
                const int32_t q = dc_quantizer[size_t(c->tq)];
                out.dc_bound[size_t(s)] = q > 0 ? (int32_t(8) << (precision - 1)) / q + 1 : INT32_MAX;
                if (ns == 1) {
                    const uint64_t w = (uint64_t(out.width) * uint64_t(c->h) + uint64_t(hmax) - 1) / uint64_t(hmax);
                    const uint64_t h = (uint64_t(out.height) * uint64_t(c->v) + uint64_t(vmax) - 1) / uint64_t(vmax);
                    out.mcus = ((w + 7) / 8) * ((h + 7) / 8);
                }
            }
            if (ns > 1) {
                const uint64_t mw = 8 * uint64_t(hmax), mh = 8 * uint64_t(vmax);
                out.mcus = ((out.width + mw - 1) / mw) * ((out.height + mh - 1) / mh);
            }
            out.scan_start = pos + 2 + length;
            // Every block codes at least two bits: a file this short cannot hold them.
            return out.mcus > 0 && out.mcus * uint64_t(out.blocks) / 4 <= limit;
        }
        pos += 2 + length;
    }
    return false;
}

// The bytes of the file (straight, or joined) through a buffer of pieces.
class byte_reader {
public:
    byte_reader(const joined_view& v, uint64_t end, uint64_t* budget) : v_(v), end_(end), budget_(budget) {}
    // The byte at file offset x; -1 past the end or on a read error.
    int at(uint64_t x) {
        if (x >= buf_start_ && x < buf_start_ + buf_.size()) return buf_[size_t(x - buf_start_)];
        if (x >= end_ || failed_) return -1;
        const size_t n = size_t(std::min<uint64_t>(walk_piece, end_ - x));
        if (budget_) {
            if (*budget_ < n) {
                *budget_ = 0;
                failed_ = true;
                return -1;
            }
            *budget_ -= n;
        }
        buf_.resize(n);
        if (!v_.in.keep_going() || !v_.read(x, buf_.data(), n)) {
            failed_ = true;
            buf_.clear();
            return -1;
        }
        buf_start_ = x;
        return buf_[0];
    }

private:
    const joined_view& v_;
    uint64_t end_;
    uint64_t* budget_;
    std::vector<uint8_t> buf_;
    uint64_t buf_start_ = 0;
    bool failed_ = false;
};

// Where the walk of the entropy-coded data is: enough to go on from it, over
// other bytes after the break, as if it had never stopped.
struct walk_state {
    uint64_t x = 0;            // file offset of the next byte to load
    uint64_t bits = 0;         // loaded bits not used yet, in the low `count` bits
    int count = 0;
    int marker = -1;           // the marker the loader stopped at; -1: none
    uint64_t marker_at = 0;
    uint64_t mcu = 0;          // MCUs done
    uint32_t in_interval = 0;  // MCUs done since the last restart
    int restart_next = 0;      // number of the next RST marker, 0 to 7
    int block = 0;             // block of the MCU being decoded
    int k = 0;                 // next coefficient of that block; 0: its DC
    std::array<int32_t, max_components> dc{};  // DC predictors of the scan's components
    uint64_t good = 0;         // file offset after the last right RST marker, or the scan start
};

constexpr int data_ended = -2;  // marker value: the bytes ran out

struct walk_end {
    enum { whole, broken, gave_up } how = gave_up;
    uint64_t end = 0;    // whole: file offset after EOI
    uint64_t bad = 0;    // broken: the data are wrong before this file offset
    uint64_t good = 0;   // broken: ... and right up to this one
};

class entropy_walk {
public:
    struct snapshot {
        uint64_t boundary;  // file offset of a cluster boundary
        walk_state state;   // the last state with x at or before it
    };

    entropy_walk(const scan_layout& layout, byte_reader& bytes) : layout_(layout), bytes_(bytes) {}

    // Keeps a snapshot for each boundary from first on, every step bytes.
    void watch(uint64_t first, uint64_t step) {
        watch_next_ = first;
        watch_step_ = step;
    }
    const std::vector<snapshot>& snapshots() const { return snapshots_; }

    walk_end run(walk_state s) {
        const walk_end e = walk(s);
        // The walk may stop at a boundary it has not gone past: its state there is kept too.
        if (watch_step_ && have_pending_ && pending_.x <= watch_next_) snapshots_.push_back({watch_next_, pending_});
        have_pending_ = false;
        return e;
    }

private:
    walk_end walk(walk_state s) {
        s.marker = -1;  // a marker met before the break is met again through the joined bytes
        while (true) {
            if (s.mcu == layout_.mcus) return finish(s);
            if (s.k == 0 && s.block == 0 && layout_.restart_interval && s.in_interval == layout_.restart_interval) {
                if (!restart(s)) return broken(s);
                continue;
            }
            fill(s);
            if (!step(s)) return broken(s);
        }
    }

    walk_end broken(const walk_state& s) const {
        walk_end e;
        e.how = walk_end::broken;
        e.bad = std::max(s.x, s.marker >= 0 ? s.marker_at + 2 : s.x) + 1;
        e.good = s.good;
        return e;
    }

    void note(const walk_state& s) {
        if (watch_step_ == 0) return;
        if (s.x <= watch_next_ && s.x + 2 > watch_next_) {
            pending_ = s;
            have_pending_ = true;
        }
    }
    void passed(uint64_t x) {
        if (watch_step_ == 0) return;
        while (x > watch_next_) {
            if (have_pending_ && pending_.x <= watch_next_) snapshots_.push_back({watch_next_, pending_});
            have_pending_ = false;
            watch_next_ += watch_step_;
        }
    }

    // Loads one byte of coded data; false at a marker or the end of the bytes.
    bool load(walk_state& s) {
        while (s.marker < 0) {
            note(s);
            const int b = bytes_.at(s.x);
            if (b < 0) {
                s.marker = data_ended;
                s.marker_at = s.x;
                return false;
            }
            if (b != marker_prefix) {
                s.bits = s.bits << 8 | uint64_t(b);
                s.count += 8;
                passed(++s.x);
                return true;
            }
            const int c = bytes_.at(s.x + 1);
            if (c == stuffed_zero) {
                s.bits = s.bits << 8 | uint64_t(marker_prefix);
                s.count += 8;
                s.x += 2;
                passed(s.x);
                return true;
            }
            if (c == marker_prefix) {  // fill byte before a marker
                passed(++s.x);
                continue;
            }
            s.marker = c < 0 ? data_ended : c;
            s.marker_at = s.x;
            return false;
        }
        return false;
    }
    void fill(walk_state& s) {
        while (s.count <= 32 && load(s)) {
        }
    }

    // The next 16 bits, padded with ones where the data ended.
    static uint32_t peek16(const walk_state& s) {
        constexpr uint32_t mask = (1u << max_code_length) - 1;
        if (s.count >= max_code_length) return uint32_t(s.bits >> (s.count - max_code_length)) & mask;
        const int pad = max_code_length - s.count;
        return uint32_t((s.bits << pad) | ((uint64_t(1) << pad) - 1)) & mask;
    }
    // The next symbol of table t; -1 when the bits are no code of it.
    static int decode(const huffman_table& t, walk_state& s) {
        const uint32_t p = peek16(s);
        int length = t.fast_length[p >> (max_code_length - fast_bits)];
        int symbol = -1;
        if (length) {
            symbol = t.fast_symbol[p >> (max_code_length - fast_bits)];
        } else {
            for (int l = fast_bits + 1; l <= max_code_length; ++l) {
                const int32_t code = int32_t(p >> (max_code_length - l));
                if (code <= t.max_code[size_t(l)]) {
                    symbol = t.values[size_t(t.first_value[size_t(l)] + code - t.min_code[size_t(l)])];
                    length = l;
                    break;
                }
            }
        }
        if (symbol < 0 || length > s.count) return -1;
        s.count -= length;
        s.bits &= (uint64_t(1) << s.count) - 1;
        return symbol;
    }
    static bool skip_bits(walk_state& s, int n) {
        if (n > s.count) return false;
        s.count -= n;
        s.bits &= (uint64_t(1) << s.count) - 1;
        return true;
    }

    // Decodes one code (and its extra bits) of the current block.
    bool step(walk_state& s) {
        const size_t b = size_t(s.block);
        if (s.k == 0) {
            const int t = decode(layout_.dc[size_t(layout_.dc_of[b])], s);
            if (t < 0 || t > layout_.max_dc_category || t > s.count) return false;
            // The difference's bits (T.81 F.2.2.1: a leading 0 makes it negative).
            int32_t diff = 0;
            if (t > 0) {
                diff = int32_t(s.bits >> (s.count - t)) & ((1 << t) - 1);
                if (diff < (1 << (t - 1))) diff -= (1 << t) - 1;
                skip_bits(s, t);
            }
            const size_t c = size_t(layout_.component_of[b]);
            s.dc[c] += diff;
            if (s.dc[c] > layout_.dc_bound[c] || s.dc[c] < -layout_.dc_bound[c]) return false;
            s.k = 1;
            return true;
        }
        const int rs = decode(layout_.ac[size_t(layout_.ac_of[b])], s);
        if (rs < 0) return false;
        const int run = rs >> 4, size = rs & 15;
        if (size == 0 && rs != zero_run_16) {
            s.k = block_coefficients;  // end of block
        } else if (rs == zero_run_16) {
            s.k += 16;
            if (s.k >= block_coefficients) return false;  // runs past the block
        } else {
            s.k += run;
            if (s.k >= block_coefficients || size > layout_.max_ac_size || !skip_bits(s, size)) return false;
            ++s.k;
        }
        if (s.k == block_coefficients) {
            s.k = 0;
            if (++s.block == layout_.blocks) {
                s.block = 0;
                ++s.mcu;
                ++s.in_interval;
            }
        }
        return true;
    }

    // The data of an interval ends with at most the padding of its last byte,
    // then the marker: true when it is `want`.
    bool marker_follows(walk_state& s, int want) {
        if (s.count >= 8) return false;  // whole bytes left: data past the end
        while (load(s)) {
            if (s.count >= 8) return false;
        }
        return s.marker == want;
    }
    bool restart(walk_state& s) {
        if (!marker_follows(s, rst_first + s.restart_next)) return false;
        note(s);
        s.x = s.marker_at + 2;
        passed(s.x);
        s.marker = -1;
        s.bits = 0;
        s.count = 0;
        s.in_interval = 0;
        s.restart_next = (s.restart_next + 1) & 7;
        s.dc.fill(0);
        s.good = s.x;
        return true;
    }
    walk_end finish(walk_state& s) {
        if (!marker_follows(s, eoi)) return broken(s);
        walk_end e;
        e.how = walk_end::whole;
        e.end = s.marker_at + 2;
        return e;
    }

    const scan_layout& layout_;
    byte_reader& bytes_;
    uint64_t watch_next_ = 0, watch_step_ = 0;
    walk_state pending_{};
    bool have_pending_ = false;
    std::vector<snapshot> snapshots_;
};

// ---- the final test: libjpeg decodes the joined file ----

// libjpeg's source: the joined bytes up to the end the walk found, no more.
struct joined_source {
    jpeg_source_mgr pub;
    const joined_view* view;
    uint64_t next, end;
    std::vector<uint8_t> buffer;
    bool overrun;
};

void source_init(j_decompress_ptr) {}
boolean source_fill(j_decompress_ptr info) {
    auto* src = reinterpret_cast<joined_source*>(info->src);
    const size_t n = size_t(std::min<uint64_t>(read_piece, src->end - std::min(src->end, src->next)));
    if (n == 0 || !src->view->read(src->next, src->buffer.data(), n)) {
        src->overrun = true;
        info->err->error_exit(reinterpret_cast<j_common_ptr>(info));
    }
    src->next += n;
    src->pub.next_input_byte = src->buffer.data();
    src->pub.bytes_in_buffer = n;
    return TRUE;
}
void source_skip(j_decompress_ptr info, long n) {
    auto* src = reinterpret_cast<joined_source*>(info->src);
    while (n > 0) {
        if (src->pub.bytes_in_buffer == 0) source_fill(info);
        const size_t k = std::min<size_t>(size_t(n), src->pub.bytes_in_buffer);
        src->pub.next_input_byte += k;
        src->pub.bytes_in_buffer -= k;
        n -= long(k);
    }
}
void source_term(j_decompress_ptr) {}

// True when the file's first `end` bytes decode to the last line with no
// warning, and the decoder stops at the EOI that ends them.
bool decodes_whole(const joined_view& v, uint64_t end) {
    joined_source src{};
    src.view = &v;
    src.end = end;
    src.buffer.resize(read_piece);
    src.pub.init_source = source_init;
    src.pub.fill_input_buffer = source_fill;
    src.pub.skip_input_data = source_skip;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = source_term;
    const bool clean = jpeg_decodes_cleanly([&](jpeg_decompress_struct* info) { info->src = &src.pub; }, end,
                                            [&] { return v.in.keep_going(); });
    return clean && !src.overrun && src.next == end && src.pub.bytes_in_buffer == 0;
}

// True when the sector at device offset at holds one byte value throughout.
bool uniform_sector(carve_input& in, uint64_t at) {
    if (at >= in.length() || in.length() - at < uniform_probe) return false;
    const byte_view v = in.view(at, uniform_probe);
    return v.size() == uniform_probe &&
           std::all_of(v.data(), v.data() + v.size(), [&](uint8_t b) { return b == v.u8(0); });
}

// Quick test of a continuation: no new file starts there, it does not open
// with a sector of one byte value (zeros, erased flash: not coded data), and
// its first marker is the restart marker the break's interval ends with (or
// EOI). after_prefix: the first piece ends with a marker's first byte. The
// bytes looked at, a sector's worth at least, count against the budget.
bool continuation_plausible(carve_input& in, uint64_t resume, const scan_layout& layout, const walk_state& at_break,
                            bool after_prefix, uint64_t& budget) {
    if (budget < first_marker_reach) {
        budget = 0;
        return false;
    }
    budget -= uniform_probe;
    uint8_t head[2];
    if (!in.read(resume, head, sizeof head)) return false;
    if (head[0] == marker_prefix && head[1] == soi) return false;
    if (uniform_sector(in, resume)) return false;
    if (after_prefix) return true;  // the marker lies across the break: left to the walk
    // Where restart markers are, the first is looked for over an interval's
    // worth; otherwise random data shows a marker within a few hundred bytes.
    const uint64_t reach = layout.restart_interval ? first_marker_reach : first_marker_reach / 4;
    const uint64_t end = std::min(in.length(), resume + reach);
    for (uint64_t x = resume; x + 1 < end;) {
        const byte_view v = in.view(x, size_t(std::min<uint64_t>(read_piece, end - x)));
        if (v.size() < 2) return false;
        const uint8_t* d = v.data();
        for (size_t i = 0; i + 1 < v.size();) {
            const void* hit = std::memchr(d + i, marker_prefix, v.size() - 1 - i);
            if (!hit) break;
            i = size_t(static_cast<const uint8_t*>(hit) - d);
            const int m = d[i + 1];
            if (m == stuffed_zero || m == marker_prefix) {
                ++i;
                continue;
            }
            budget -= std::min<uint64_t>(budget, x + i - resume);
            if (m == eoi) return true;
            if (!is_rst(m) || layout.restart_interval == 0) return false;
            return m == rst_first + at_break.restart_next;
        }
        x += v.size() - 1;
    }
    budget -= std::min<uint64_t>(budget, end - resume);
    return true;
}

}  // namespace

bool jpeg_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return false;
    size = std::min(size, in.length() - start);
    scan_layout layout;
    if (!read_layout(in, start, size, layout) || layout.scan_start >= size) return false;
    const uint64_t scan_at = start + layout.scan_start, end = start + size;
    uint64_t boundary = limits.boundary_from(scan_at);
    int restart_next = 0;
    uint64_t last_restart = scan_at, restarts = 0;
    for (uint64_t x = scan_at; x + 1 < end;) {
        if (!in.keep_going()) return false;
        const size_t n = size_t(std::min<uint64_t>(read_piece, end - x));
        for (; boundary < x + n - 1; boundary += limits.cluster)
            if (boundary >= x && uniform_sector(in, boundary)) return true;
        const byte_view w = in.view(x, n);
        if (w.size() < 2) return false;
        const uint8_t* d = w.data();
        for (size_t i = 0; i + 1 < w.size();) {
            const void* hit = std::memchr(d + i, marker_prefix, w.size() - 1 - i);
            if (!hit) break;
            i = size_t(static_cast<const uint8_t*>(hit) - d);
            const int m = d[i + 1];
            if (is_rst(m)) {
                if (layout.restart_interval == 0 || m != rst_first + restart_next) return true;
                // An interval far longer than those before it: other data
                // without restart markers lies inside it.
                const uint64_t at = x + i, mean = restarts ? (last_restart - scan_at) / restarts : 0;
                if (restarts && at - last_restart > std::max(2 * limits.cluster, long_interval * mean)) return true;
                last_restart = at;
                ++restarts;
                restart_next = (restart_next + 1) & 7;
            } else if (m == eoi) {
                // Its data looked right up to its end: with a marker after each
                // interval but the last, as many as its MCUs make.
                if (layout.restart_interval == 0) return false;
                return restarts != (layout.mcus + layout.restart_interval - 1) / layout.restart_interval - 1;
            } else if (m != stuffed_zero && m != marker_prefix) {
                return true;  // one scan, so nothing but EOI may follow it
            }
            i += m == marker_prefix ? 1 : 2;
        }
        x += w.size() - 1;
    }
    return false;
}

std::optional<joined_file> join_jpeg(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    uint8_t head[2];
    if (!in.read(start, head, sizeof head) || head[0] != marker_prefix || head[1] != soi) return std::nullopt;
    scan_layout layout;
    if (!read_layout(in, start, limit, layout) || layout.scan_start >= limit) return std::nullopt;

    // The straight walk, keeping its state at every cluster boundary.
    const joined_view straight{in, start, ~uint64_t(0), 0};
    const uint64_t scan_at = start + layout.scan_start;
    const uint64_t first_boundary = limits.boundary_from(scan_at);
    std::vector<entropy_walk::snapshot> snapshots;
    walk_end straight_end;
    {
        byte_reader bytes(straight, limit, nullptr);
        entropy_walk walk(layout, bytes);
        walk.watch(first_boundary - start, limits.cluster);
        walk_state s;
        s.x = s.good = layout.scan_start;
        straight_end = walk.run(s);
        snapshots = walk.snapshots();
    }
    if (in.stopped() || in.vanished() || straight_end.how != walk_end::broken) return std::nullopt;

    // Where the break may lie: after the last point known right, before the first wrong one.
    // Zeros or erased flash after the break decode as codes for long: the
    // first cluster that opens with a sector of one value is tried first,
    // then the boundaries nearest the first wrong byte.
    std::vector<const entropy_walk::snapshot*> breaks;
    for (const entropy_walk::snapshot& b : snapshots) {
        if (b.boundary < straight_end.good || b.boundary >= straight_end.bad || b.boundary == 0) continue;
        if (uniform_sector(in, start + b.boundary)) {
            breaks.push_back(&b);
            break;
        }
    }
    for (auto it = snapshots.rbegin(); it != snapshots.rend() && breaks.size() <= max_breaks; ++it)
        if (it->boundary >= straight_end.good && it->boundary < straight_end.bad && it->boundary > 0 &&
            (breaks.empty() || breaks.front() != &*it))
            breaks.push_back(&*it);
    if (breaks.empty()) return std::nullopt;

    uint64_t budget = limits.max_checked_bytes;
    // Continuations of break b from gap *k on, nearest first, until one
    // decodes or the bytes spent on this break reach share; *k then is the
    // next gap to try.
    enum class outcome { found, none, paused, give_up };
    std::optional<joined_file> joined;
    auto try_gaps = [&](const entropy_walk::snapshot& b, uint64_t* k, uint64_t share) {
        const uint64_t split = b.boundary, budget_before = budget;
        uint8_t last = 0;
        if (!in.read(start + split - 1, &last, 1)) return outcome::give_up;
        for (; *k <= limits.max_gap_clusters; ++*k) {
            if (budget_before - budget >= share) return outcome::paused;
            const uint64_t resume = start + split + *k * limits.cluster;
            if (resume >= in.length()) break;
            if (!in.keep_going()) return outcome::give_up;
            if (!continuation_plausible(in, resume, layout, b.state, last == marker_prefix, budget)) {
                if (budget == 0) return outcome::give_up;
                continue;
            }
            const uint64_t rest_room = std::min<uint64_t>(in.length() - resume, limit - std::min(limit, split));
            const joined_view v{in, start, split, resume};
            byte_reader bytes(v, split + rest_room, &budget);
            entropy_walk walk(layout, bytes);
            const walk_end e = walk.run(b.state);
            if (in.stopped() || in.vanished()) return outcome::give_up;
            if (e.how == walk_end::whole && e.end > split) {
                if (budget < e.end) return outcome::give_up;
                budget -= e.end;
                if (decodes_whole(v, e.end)) {
                    joined = joined_file{{start, split}, {resume, e.end - split}};
                    return outcome::found;
                }
                if (in.stopped() || in.vanished()) return outcome::give_up;
            }
            if (budget == 0) return outcome::give_up;
        }
        return outcome::none;
    };
    // The breaks take turns, each with a share of what is left of the budget
    // (the likeliest first, with the largest share): a wrong break whose
    // continuations walk far does not use it all up before the right one's
    // near continuations are tried.
    std::vector<uint64_t> next_gap(breaks.size(), 1);
    std::vector<bool> done(breaks.size(), false);
    for (size_t active = breaks.size(); active > 0 && budget > 0;) {
        for (size_t i = 0; i < breaks.size(); ++i) {
            if (done[i]) continue;
            const uint64_t share = std::max<uint64_t>(budget / (i == 0 ? 4 : 4 * active), first_marker_reach);
            const outcome o = try_gaps(*breaks[i], &next_gap[i], share);
            if (o == outcome::found) return joined;
            if (o == outcome::give_up) return std::nullopt;
            if (o == outcome::none) {
                done[i] = true;
                --active;
            }
        }
    }
    return std::nullopt;
}

}  // namespace qv::sig
