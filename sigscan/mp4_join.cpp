// MP4, MOV, 3GP and M4A files found in two pieces. The movie box's sample
// tables give every chunk of media its place and size, so the media say where
// the file breaks: H.264 and HEVC samples are runs of NAL units whose lengths
// add up to the sample's size, Motion JPEG frames run from SOI to EOI, and AAC
// frames end in their end element. The break is the one cluster boundary
// before which the chunks check where they lie and after which they check
// moved by the gap.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>  // needs size_t and FILE declared first

#include "sigscan/fragment_join.hpp"
#include "sigscan/joined_view.hpp"
#include "sigscan/jpeg_decode.hpp"
#include "sigscan/rules/rules.hpp"
#include "sigscan/video_decode.hpp"

namespace qv::sig {

namespace {

constexpr uint64_t box_header = 8, large_header = 16;
constexpr uint64_t max_ftyp = 4096;
constexpr uint64_t max_moov = uint64_t(64) << 20;
constexpr size_t max_top_boxes = 1024;
constexpr size_t max_tracks = 64;
constexpr uint64_t max_chunks = uint64_t(1) << 21;
constexpr uint64_t max_stored_sizes = uint64_t(1) << 23;
constexpr uint64_t max_split_candidates = 4096;  // cluster boundaries tried as the break
constexpr size_t max_fitting_splits = 256;        // ... of which the samples line up at
// What one read of a sample's first bytes counts against the budget: the
// bytes read are few, the cost is the seek; a read far from the one before
// (tables that scatter chunks over the device) counts far more.
constexpr uint64_t read_cost = 64;
constexpr uint64_t far_read = uint64_t(1) << 20, far_read_cost = uint64_t(64) << 10;
constexpr uint64_t box_read_cost = 4096;
constexpr uint64_t max_jpeg_frame = uint64_t(32) << 20;
constexpr uint64_t max_video_sample = uint64_t(32) << 20;
constexpr uint64_t max_decoded_frames = 300;     // per track and place tried
constexpr uint64_t max_join_frames = 3000;       // decoded for one file, all places tried
constexpr size_t max_video_config = 1 << 16;

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
           uint8_t(s[3]);
}
uint32_t rd32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t rd64(const uint8_t* p) { return uint64_t(rd32(p)) << 32 | rd32(p + 4); }

// ---- the movie box ----

enum class codec { unchecked, h264, hevc, mjpeg, aac };

bool strong(codec c) { return c == codec::h264 || c == codec::hevc || c == codec::mjpeg; }

struct track {
    codec kind = codec::unchecked;
    unsigned nal_length = 4;      // bytes of each NAL unit's length field
    std::vector<uint8_t> config;  // H.264 and HEVC: the avcC or hvcC box's body
    bool all_sync = true;         // no sync sample table: every sample is one
    std::vector<uint64_t> sync;   // ... else the sync samples (from 0), rising
    uint32_t constant_size = 0;   // every sample's size, when the table gives one
    std::vector<uint32_t> sizes;  // each sample's size otherwise
    uint32_t sample_size(uint64_t i) const { return constant_size ? constant_size : sizes[size_t(i)]; }
};

struct chunk {
    uint64_t offset = 0, size = 0;  // file offsets
    uint32_t track = 0;
    uint64_t first_sample = 0;
    uint32_t samples = 0;
    uint64_t end() const { return offset + size; }
};

struct movie {
    std::vector<track> tracks;
    std::vector<chunk> chunks;  // by offset, none overlapping
};

// The boxes that tile [p, p + n) exactly, each given to f(type, body, size);
// false when they do not tile it or f says false.
template <class F>
bool each_box(const uint8_t* p, size_t n, F&& f) {
    size_t at = 0;
    while (at < n) {
        if (n - at < box_header) return false;
        uint64_t size = rd32(p + at);
        size_t head = box_header;
        if (size == 1) {
            if (n - at < large_header) return false;
            size = rd64(p + at + box_header);
            head = large_header;
        }
        if (size < head || size > n - at) return false;
        if (!f(rd32(p + at + 4), p + at + head, size_t(size) - head)) return false;
        at += size_t(size);
    }
    return true;
}

// The body of the first box of the given type found inside a sample entry
// (codec set-ups sit at depths that vary between writers), or null.
const uint8_t* find_inside(const uint8_t* p, size_t n, uint32_t type, size_t* body_size) {
    for (size_t i = 0; i + box_header <= n; ++i) {
        if (rd32(p + i + 4) != type) continue;
        const uint32_t size = rd32(p + i);
        if (size < box_header || size > n - i) continue;
        *body_size = size - box_header;
        return p + i + box_header;
    }
    return nullptr;
}

// An MPEG-4 descriptor's tag and length at p; false past n.
bool descriptor(const uint8_t* p, size_t n, size_t* at, uint8_t tag, size_t* length) {
    if (*at >= n || p[*at] != tag) return false;
    ++*at;
    size_t len = 0;
    for (int i = 0; i < 4; ++i) {
        if (*at >= n) return false;
        const uint8_t b = p[(*at)++];
        len = len << 7 | (b & 0x7F);
        if (!(b & 0x80)) break;
    }
    *length = len;
    return len <= n - *at;
}

// AAC of a kind whose frames end in an end element: from the stream's
// elementary stream descriptor.
bool esds_is_aac(const uint8_t* p, size_t n) {
    size_t at = 4, len = 0;  // version and flags
    if (!descriptor(p, n, &at, 3, &len) || len < 3) return false;
    const uint8_t flags = p[at + 2];
    at += 3;
    if (flags & 0x80) at += 2;
    if (flags & 0x40) {
        if (at >= n) return false;
        at += 1 + p[at];
    }
    if (flags & 0x20) at += 2;
    if (!descriptor(p, n, &at, 4, &len) || len < 13 || p[at] != 0x40) return false;
    at += 13;
    if (!descriptor(p, n, &at, 5, &len) || len < 1) return false;
    const unsigned object_type = p[at] >> 3;
    return object_type == 1 || object_type == 2 || object_type == 3 || object_type == 4 || object_type == 5 ||
           object_type == 29;
}

codec codec_of(const uint8_t* stsd, size_t n, unsigned* nal_length, std::vector<uint8_t>* config) {
    if (n < 16 || rd32(stsd + 4) != 1) return codec::unchecked;  // one sample description
    const uint8_t* entry = stsd + 8;
    const uint32_t size = rd32(entry);
    if (size < box_header || size > n - 8) return codec::unchecked;
    const uint32_t type = rd32(entry + 4);
    size_t body = 0;
    if (type == fourcc("avc1") || type == fourcc("avc3")) {
        const uint8_t* c = find_inside(entry + box_header, size - box_header, fourcc("avcC"), &body);
        if (!c || body < 5 || c[0] != 1 || (c[4] & 3) == 2) return codec::unchecked;
        *nal_length = (c[4] & 3) + 1u;
        if (body <= max_video_config) config->assign(c, c + body);
        return codec::h264;
    }
    if (type == fourcc("hvc1") || type == fourcc("hev1")) {
        const uint8_t* c = find_inside(entry + box_header, size - box_header, fourcc("hvcC"), &body);
        if (!c || body < 22 || c[0] != 1 || (c[21] & 3) == 2) return codec::unchecked;
        *nal_length = (c[21] & 3) + 1u;
        if (body <= max_video_config) config->assign(c, c + body);
        return codec::hevc;
    }
    if (type == fourcc("jpeg")) return codec::mjpeg;
    if (type == fourcc("mp4a")) {
        const uint8_t* c = find_inside(entry + box_header, size - box_header, fourcc("esds"), &body);
        if (c && esds_is_aac(c, body)) return codec::aac;
    }
    return codec::unchecked;
}

struct sample_tables {
    const uint8_t *stsd = nullptr, *stco = nullptr, *co64 = nullptr, *stsc = nullptr, *stsz = nullptr, *stss = nullptr;
    size_t stsd_n = 0, stco_n = 0, co64_n = 0, stsc_n = 0, stsz_n = 0, stss_n = 0;
};

// One track's chunks from its sample tables; false when the tables do not add up.
bool add_track(const sample_tables& t, movie& m) {
    if (!t.stsd || !(t.stco || t.co64) || !t.stsc || !t.stsz) return false;
    if (m.tracks.size() >= max_tracks) return false;
    track tr;
    tr.kind = codec_of(t.stsd, t.stsd_n, &tr.nal_length, &tr.config);
    // Sample sizes.
    if (t.stsz_n < 12) return false;
    tr.constant_size = rd32(t.stsz + 4);
    const uint64_t samples = rd32(t.stsz + 8);
    if (!tr.constant_size) {
        if (samples > (t.stsz_n - 12) / 4) return false;  // the count lies
        uint64_t stored = samples;
        for (const track& o : m.tracks) stored += o.sizes.size();
        if (stored > max_stored_sizes) return false;
        tr.sizes.resize(size_t(samples));
        for (size_t i = 0; i < tr.sizes.size(); ++i) tr.sizes[i] = rd32(t.stsz + 12 + 4 * i);
    }
    // Chunk offsets.
    const bool wide = t.co64 != nullptr;
    const uint8_t* offsets = wide ? t.co64 : t.stco;
    const size_t offsets_n = wide ? t.co64_n : t.stco_n;
    if (offsets_n < 8) return false;
    const uint64_t chunks = rd32(offsets + 4);
    if (chunks > (offsets_n - 8) / (wide ? 8 : 4) || m.chunks.size() + chunks > max_chunks) return false;
    // Samples per chunk, in runs.
    if (t.stsc_n < 8) return false;
    const uint64_t runs = rd32(t.stsc + 4);
    if (runs > (t.stsc_n - 8) / 12 || (chunks > 0 && runs == 0)) return false;
    const uint8_t* run = t.stsc + 8;
    if (runs > 0 && rd32(run) != 1) return false;
    uint64_t r = 0, sample = 0;
    const uint32_t index = uint32_t(m.tracks.size());
    for (uint64_t c = 0; c < chunks; ++c) {
        while (r + 1 < runs && c + 1 >= rd32(run + 12 * (r + 1))) {
            if (rd32(run + 12 * (r + 1)) <= rd32(run + 12 * r)) return false;
            ++r;
        }
        const uint32_t per_chunk = rd32(run + 12 * r + 4);
        if (per_chunk == 0 || per_chunk > samples - sample) return false;
        chunk ch;
        ch.offset = wide ? rd64(offsets + 8 + 8 * c) : rd32(offsets + 8 + 4 * c);
        ch.track = index;
        ch.first_sample = sample;
        ch.samples = per_chunk;
        if (tr.constant_size) {
            ch.size = uint64_t(per_chunk) * tr.constant_size;
        } else {
            for (uint32_t i = 0; i < per_chunk; ++i) ch.size += tr.sizes[size_t(sample + i)];
        }
        sample += per_chunk;
        if (ch.size > 0) m.chunks.push_back(ch);
    }
    if (sample != samples) return false;
    // Sync samples, numbered from 1; a table that does not add up is left
    // out (the frames are then not decoded).
    if (t.stss && (tr.kind == codec::h264 || tr.kind == codec::hevc)) {
        tr.all_sync = false;
        const uint64_t count = t.stss_n >= 8 ? rd32(t.stss + 4) : 0;
        if (count <= (t.stss_n - 8) / 4 && count <= max_stored_sizes) {
            for (uint64_t i = 0; i < count; ++i) {
                const uint64_t s = rd32(t.stss + 8 + 4 * i);
                if (s == 0 || s > samples || (!tr.sync.empty() && s - 1 <= tr.sync.back())) {
                    tr.sync.clear();
                    tr.config.clear();
                    break;
                }
                tr.sync.push_back(s - 1);
            }
        }
    }
    m.tracks.push_back(std::move(tr));
    return true;
}

// The movie box's tracks and chunks; false when it does not parse whole.
bool parse_movie(const std::vector<uint8_t>& moov, movie& m) {
    auto in_stbl = [&](sample_tables& t) {
        return [&t](uint32_t type, const uint8_t* p, size_t n) {
            if (type == fourcc("stsd")) t.stsd = p, t.stsd_n = n;
            if (type == fourcc("stco")) t.stco = p, t.stco_n = n;
            if (type == fourcc("co64")) t.co64 = p, t.co64_n = n;
            if (type == fourcc("stsc")) t.stsc = p, t.stsc_n = n;
            if (type == fourcc("stsz")) t.stsz = p, t.stsz_n = n;
            if (type == fourcc("stss")) t.stss = p, t.stss_n = n;
            return true;
        };
    };
    auto track_box = [&](const uint8_t* p, size_t n) {
        sample_tables t;
        bool media = false;
        const bool tiled = each_box(p, n, [&](uint32_t type, const uint8_t* q, size_t qn) {
            if (type != fourcc("mdia")) return true;
            return each_box(q, qn, [&](uint32_t type2, const uint8_t* r, size_t rn) {
                if (type2 != fourcc("minf")) return true;
                return each_box(r, rn, [&](uint32_t type3, const uint8_t* s, size_t sn) {
                    if (type3 != fourcc("stbl")) return true;
                    media = true;
                    return each_box(s, sn, in_stbl(t));
                });
            });
        });
        return tiled && media && add_track(t, m);
    };
    const bool whole = each_box(moov.data(), moov.size(), [&](uint32_t type, const uint8_t* p, size_t n) {
        return type != fourcc("trak") || track_box(p, n);
    });
    if (!whole || m.chunks.empty()) return false;
    std::sort(m.chunks.begin(), m.chunks.end(), [](const chunk& a, const chunk& b) { return a.offset < b.offset; });
    for (size_t i = 0; i + 1 < m.chunks.size(); ++i)
        if (m.chunks[i].end() > m.chunks[i + 1].offset || m.chunks[i].end() < m.chunks[i].offset) return false;
    return m.chunks.back().end() >= m.chunks.back().offset;
}

// ---- checks of the media ----

// Reads through the view, each read counted against the budget.
struct reader {
    const joined_view& v;
    uint64_t* budget;
    uint64_t last = 0;  // file offset of the read before
    bool read(uint64_t x, uint8_t* out, size_t n) {
        const uint64_t cost = read_cost + n + ((x > last ? x - last : last - x) > far_read ? far_read_cost : 0);
        last = x;
        if (*budget < cost) return *budget = 0, false;
        *budget -= cost;
        return v.read(x, out, n);
    }
};

bool nal_header_ok(codec kind, const uint8_t* h) {
    if (h[0] & 0x80) return false;  // the forbidden bit
    if (kind == codec::h264) {
        const unsigned type = h[0] & 0x1F, ref = (h[0] >> 5) & 3;
        if (type == 0 || type > 23) return false;
        if (type == 5 && ref == 0) return false;  // an IDR picture is a reference
        if ((type == 6 || (type >= 9 && type <= 12)) && ref != 0) return false;
        return true;
    }
    const unsigned type = (h[0] >> 1) & 0x3F, layer = (h[0] & 1u) << 5 | h[1] >> 3, temporal = h[1] & 7u;
    const bool known = type <= 9 || (type >= 16 && type <= 21) || (type >= 32 && type <= 40);
    return known && layer == 0 && temporal != 0;
}

// One sample at file offset x of the given size checks as its codec's data.
bool sample_ok(reader& r, const track& t, uint64_t x, uint64_t size) {
    switch (t.kind) {
        case codec::unchecked: return true;
        case codec::h264:
        case codec::hevc: {
            const unsigned header = t.kind == codec::h264 ? 1 : 2;
            uint64_t at = 0;
            while (at < size) {
                uint8_t b[6];
                if (size - at < t.nal_length + header || !r.read(x + at, b, t.nal_length + header)) return false;
                uint64_t length = 0;
                for (unsigned i = 0; i < t.nal_length; ++i) length = length << 8 | b[i];
                if (length < header || length > size - at - t.nal_length) return false;
                if (!nal_header_ok(t.kind, b + t.nal_length)) return false;
                at += t.nal_length + length;
            }
            return true;
        }
        case codec::mjpeg: {
            uint8_t head[3], tail[2];
            return size >= 6 && r.read(x, head, 3) && r.read(x + size - 2, tail, 2) && head[0] == 0xFF &&
                   head[1] == 0xD8 && head[2] == 0xFF && tail[0] == 0xFF && tail[1] == 0xD9;
        }
        case codec::aac: {
            // The first element a channel element, fill or data; the last the
            // end element (three set bits) and then fewer than eight zero bits.
            uint8_t head, tail[2];
            if (size < 3 || !r.read(x, &head, 1) || !r.read(x + size - 2, tail, 2)) return false;
            const unsigned first = head >> 5;
            if (first == 2 || first == 7 || tail[1] == 0) return false;
            unsigned last = unsigned(tail[0]) << 8 | tail[1];
            while (!(last & 1)) last >>= 1;
            return (last & 7) == 7;
        }
    }
    return false;
}

bool chunk_ok(reader& r, const movie& m, const chunk& c) {
    const track& t = m.tracks[c.track];
    if (t.kind == codec::unchecked) return true;
    uint64_t x = c.offset;
    for (uint32_t i = 0; i < c.samples; ++i) {
        const uint64_t size = t.sample_size(c.first_sample + i);
        if (size > 0 && !sample_ok(r, t, x, size)) return false;
        x += size;
    }
    return true;
}

// No NAL unit of the chunk's video holds, within file offsets [lo, hi), the
// three bytes that emulation prevention keeps out of every NAL unit (00 00 00,
// 00 00 01, 00 00 02): zeros, or another stream's start codes and box sizes,
// read where the media belong. Samples are taken as chunk_ok found them.
bool nal_payloads_clean(reader& r, const movie& m, const chunk& c, uint64_t lo, uint64_t hi) {
    const track& t = m.tracks[c.track];
    if ((t.kind != codec::h264 && t.kind != codec::hevc) || c.end() <= lo || c.offset >= hi) return true;
    std::vector<uint8_t> bytes;
    uint64_t x = c.offset;
    for (uint32_t i = 0; i < c.samples && x < hi; ++i) {
        const uint64_t size = t.sample_size(c.first_sample + i);
        for (uint64_t at = 0; x + size > lo && at < size;) {
            uint8_t b[4];
            if (size - at < t.nal_length || !r.read(x + at, b, t.nal_length)) return false;
            uint64_t length = 0;
            for (unsigned k = 0; k < t.nal_length; ++k) length = length << 8 | b[k];
            if (length > size - at - t.nal_length) return false;
            const uint64_t from = std::max(x + at + t.nal_length, lo);
            const uint64_t to = std::min(x + at + t.nal_length + length, hi);
            if (from + 3 <= to) {
                bytes.resize(size_t(to - from));
                if (!r.read(from, bytes.data(), bytes.size())) return false;
                for (size_t k = 0; k + 2 < bytes.size(); ++k)
                    if (bytes[k + 2] <= 2 && bytes[k] == 0 && bytes[k + 1] == 0) return false;
            }
            at += t.nal_length + length;
        }
        x += size;
    }
    return true;
}

// Every Motion JPEG frame of the chunk that lies in part within file offsets
// [lo, hi) decodes without a warning.
bool jpeg_frames_decode(carve_input& in, reader& r, const movie& m, const chunk& c, uint64_t lo, uint64_t hi) {
    const track& t = m.tracks[c.track];
    if (t.kind != codec::mjpeg || c.end() <= lo || c.offset >= hi) return true;
    std::vector<uint8_t> frame;
    uint64_t x = c.offset;
    for (uint32_t i = 0; i < c.samples && x < hi; ++i) {
        const uint64_t size = t.sample_size(c.first_sample + i);
        if (x + size > lo && size > 0) {
            if (size > max_jpeg_frame) return false;
            frame.resize(size_t(size));
            if (!r.read(x, frame.data(), frame.size())) return false;
            const bool clean = jpeg_decodes_cleanly(
                [&](jpeg_decompress_struct* info) { jpeg_mem_src(info, frame.data(), static_cast<unsigned long>(frame.size())); },
                size, [&] { return in.keep_going(); });
            if (!clean) return false;
        }
        x += size;
    }
    return true;
}

// Every H.264 and HEVC frame that lies in part within file offsets [lo, hi)
// decodes with no error, from the sync sample at or before the first of them
// on. A track whose run is longer than the decoder is let go, or that has no
// sync sample before it, is not told by this. *frames_left counts the frames
// decoded down; when it runs out the answer is false and it is left at 0.
bool video_frames_decode(carve_input& in, reader& r, const movie& m, uint64_t lo, uint64_t hi, uint64_t* frames_left) {
    if (!video_decoding_available()) return true;
    for (uint32_t ti = 0; ti < m.tracks.size(); ++ti) {
        const track& t = m.tracks[ti];
        if ((t.kind != codec::h264 && t.kind != codec::hevc) || t.config.empty()) continue;
        // The samples that lie in part in [lo, hi), and where each sample lies.
        struct placed {
            uint64_t index, offset, size;
        };
        uint64_t first = ~uint64_t(0), last = 0;
        for (const chunk& c : m.chunks) {
            if (c.track != ti || c.end() <= lo || c.offset >= hi) continue;
            uint64_t x = c.offset;
            for (uint32_t i = 0; i < c.samples; ++i) {
                const uint64_t size = t.sample_size(c.first_sample + i);
                if (x < hi && x + size > lo) {
                    first = std::min(first, c.first_sample + i);
                    last = std::max(last, c.first_sample + i);
                }
                x += size;
            }
        }
        if (first > last) continue;
        uint64_t from = first;
        if (!t.all_sync) {
            const auto s = std::upper_bound(t.sync.begin(), t.sync.end(), first);
            if (s == t.sync.begin()) continue;
            from = *(s - 1);
        }
        if (last - from >= max_decoded_frames) continue;
        std::vector<placed> run(size_t(last - from + 1));
        size_t placed_count = 0;
        for (const chunk& c : m.chunks) {
            if (c.track != ti || c.first_sample > last || c.first_sample + c.samples <= from) continue;
            uint64_t x = c.offset;
            for (uint32_t i = 0; i < c.samples; ++i) {
                const uint64_t index = c.first_sample + i, size = t.sample_size(index);
                if (index >= from && index <= last) {
                    run[size_t(index - from)] = {index, x, size};
                    ++placed_count;
                }
                x += size;
            }
        }
        if (placed_count != run.size()) continue;  // samples of no chunk (empty ones)
        if (*frames_left < run.size()) return *frames_left = 0, false;
        *frames_left -= run.size();
        const bool clean = video_samples_decode(
            t.kind == codec::h264 ? video_coding::h264 : video_coding::hevc, t.config, run.size(),
            [&](size_t i, std::vector<uint8_t>& bytes) {
                if (run[i].size > max_video_sample) return false;
                bytes.resize(size_t(run[i].size));
                return r.read(run[i].offset, bytes.data(), bytes.size());
            },
            [&] { return in.keep_going(); });
        if (!clean) return false;
    }
    return true;
}

// ---- top-level boxes ----

struct top_box {
    uint32_t type = 0;
    uint64_t offset = 0, size = 0, head = 0;
    uint64_t end() const { return offset + size; }
};

struct top_walk {
    std::vector<top_box> boxes;  // whole boxes that fit
    uint64_t end = 0;            // where the walk stopped
    bool overrun = false;        // the box at end runs past the room it has
    top_box last;                // ... that box
};

// Top-level boxes from file offset x while they make sense and fit in room bytes.
top_walk walk_top(const joined_view& v, uint64_t x, uint64_t room, uint64_t* budget) {
    top_walk w;
    w.end = x;
    while (x + box_header <= room && w.boxes.size() < max_top_boxes && *budget >= box_read_cost) {
        *budget -= box_read_cost;
        uint8_t b[large_header];
        // Another file's type box ends this one.
        if (!v.read(x, b, box_header) || !iso_top_level(b + 4) || (x > 0 && rd32(b + 4) == fourcc("ftyp"))) break;
        top_box box{rd32(b + 4), x, rd32(b), box_header};
        if (box.size == 1) {
            if (x + large_header > room || !v.read(x + box_header, b + box_header, 8)) break;
            box.size = rd64(b + box_header);
            box.head = large_header;
        }
        if (box.size < box.head) break;  // 0 runs to the end of the file, which is not known
        if (box.size > room - x) {
            w.overrun = true;
            w.last = box;
            break;
        }
        w.boxes.push_back(box);
        x += box.size;
        w.end = x;
    }
    return w;
}

const top_box* find_box(const top_walk& w, uint32_t type) {
    for (const top_box& b : w.boxes)
        if (b.type == type) return &b;
    return nullptr;
}

// ---- the split ----

struct join_try {
    carve_input& in;
    uint64_t start;
    const join_limits& limits;
    uint64_t* budget;
    const movie& m;
    uint64_t lo, hi;  // file offsets between which the break may lie (inclusive)
    uint64_t* frames_left;  // video frames the file may still have decoded

    bool all_ok(const joined_view& v, size_t from, size_t to) const {
        reader r{v, budget};
        for (size_t i = from; i < to; ++i) {
            if ((i & 255) == 0 && !in.keep_going()) return false;
            if (!chunk_ok(r, m, m.chunks[i])) return false;
        }
        return true;
    }

    // The first chunk that does not check where it lies; all of them when none.
    size_t first_failing() const {
        const joined_view straight{in, start, ~uint64_t(0), 0};
        reader r{straight, budget};
        size_t p = 0;
        while (p < m.chunks.size() && ((p & 255) != 0 || in.keep_going()) && chunk_ok(r, m, m.chunks[p])) ++p;
        return p;
    }

    // The one break (file offset at a cluster boundary) at which the file's
    // chunks check with the rest moved by shift; none when no break or more
    // than one fits. *ambiguous is set when more than one does. p: the first
    // chunk that does not check where it lies.
    std::optional<uint64_t> split_for(uint64_t shift, size_t p, bool* ambiguous) const {
        const size_t n = m.chunks.size();
        const joined_view moved{in, start, 0, start + shift};
        // The break lies after the last chunk that does not check moved, and
        // before the end of the first that does not check where it lies.
        reader rm{moved, budget};
        size_t q = n;
        while (q > 0 && ((q & 255) != 0 || in.keep_going()) && chunk_ok(rm, m, m.chunks[q - 1])) --q;
        if (*budget == 0 || !in.keep_going()) return std::nullopt;
        uint64_t from = q > 0 ? m.chunks[q - 1].offset + 1 : lo;
        uint64_t to = p < n ? m.chunks[p].end() - 1 : hi;
        from = std::max(from, lo);
        to = std::min(to, hi);
        if (from > to) return std::nullopt;
        // Cluster boundaries in [from, to], counted on the device.
        uint64_t b = limits.boundary_from(start + from);
        if (b < start) return std::nullopt;
        b -= start;
        if (b > to) return std::nullopt;
        if ((to - b) / limits.cluster >= max_split_candidates) return *ambiguous = true, std::nullopt;
        // The chunks whose place depends on where in [from, to] the break lies.
        const size_t first = q > 0 ? q - 1 : 0, last = std::min(n, p + 1);
        std::vector<uint64_t> fits;  // the boundaries at which the samples line up
        for (; b <= to; b += limits.cluster) {
            const joined_view v{in, start, b, start + b + shift, nullptr};
            if (all_ok(v, first, last)) {
                if (fits.size() == max_fitting_splits) return *ambiguous = true, std::nullopt;
                fits.push_back(b);
            } else if (*budget == 0 || in.stopped()) {
                return std::nullopt;
            }
        }
        if (fits.empty()) return std::nullopt;
        // Boundaries inside one NAL unit or JPEG frame line up alike; but a
        // wrong one reads some of the gap, between it and the right one, as
        // media: the bytes inside the NAL units there may tell, and the
        // frames there must decode.
        std::vector<uint64_t> clean_fits;
        for (const uint64_t f : fits) {
            if (fits.size() > 1) {
                const joined_view v{in, start, f, start + f + shift, nullptr};
                reader r{v, budget};
                bool clean = true;
                for (size_t i = first; clean && i < last; ++i)
                    clean = nal_payloads_clean(r, m, m.chunks[i], fits.front(), fits.back()) &&
                            jpeg_frames_decode(in, r, m, m.chunks[i], fits.front(), fits.back());
                if (!clean) {
                    if (*budget == 0 || in.stopped()) return std::nullopt;
                    continue;
                }
            }
            clean_fits.push_back(f);
        }
        // Several left (one large NAL unit, a frame in one slice, holds them
        // all): the video frames there must decode from their sync sample on.
        std::optional<uint64_t> found;
        for (const uint64_t f : clean_fits) {
            if (clean_fits.size() > 1) {
                const joined_view v{in, start, f, start + f + shift, nullptr};
                reader r{v, budget};
                if (!video_frames_decode(in, r, m, fits.front(), fits.back(), frames_left)) {
                    if (*frames_left == 0) return *ambiguous = true, std::nullopt;
                    if (*budget == 0 || in.stopped()) return std::nullopt;
                    continue;
                }
            }
            if (found) return *ambiguous = true, std::nullopt;
            found = f;
        }
        if (!found) return std::nullopt;
        // Every chunk checks in the joined file.
        const joined_view v{in, start, *found, start + *found + shift, nullptr};
        if (!all_ok(v, 0, n)) return std::nullopt;
        // The break is pinned by the media: where the file has video, a
        // strongly checked chunk on each side of it (the ones there are).
        bool video = false, before = false, after = false, any_after = false;
        for (const chunk& c : m.chunks) {
            const bool s = strong(m.tracks[c.track].kind);
            video |= s;
            if (c.end() > *found) any_after = true;
            if (s && c.offset < *found) before = true;
            if (s && c.end() > *found) after = true;
        }
        if (video && (!before || (any_after && !after))) return std::nullopt;
        return found;
    }
};

std::optional<std::vector<uint8_t>> read_box_body(const joined_view& v, const top_box& box, uint64_t* budget) {
    const uint64_t n = box.size - box.head;
    if (n > max_moov || n > *budget) return std::nullopt;
    *budget -= n;
    std::vector<uint8_t> body(static_cast<size_t>(n));
    if (!v.read(box.offset + box.head, body.data(), body.size())) return std::nullopt;
    return body;
}

// The file's kind from its brands, as the size rule tells it.
std::string_view kind_of(carve_input& in, uint64_t start, uint64_t ftyp_size) {
    uint8_t major[4];
    std::vector<uint8_t> brands(size_t(ftyp_size - 16));
    if (!in.read(start + 8, major, 4) || (!brands.empty() && !in.read(start + 16, brands.data(), brands.size())))
        return {};
    std::vector<std::string> compatible;
    for (size_t i = 0; i + 4 <= brands.size(); i += 4)
        compatible.emplace_back(reinterpret_cast<const char*>(&brands[i]), 4);
    return iso_kind(major, compatible);
}

bool media_inside(const movie& m, const std::vector<top_box>& boxes) {
    for (const chunk& c : m.chunks) {
        const bool inside = std::any_of(boxes.begin(), boxes.end(), [&](const top_box& b) {
            return b.type == fourcc("mdat") && c.offset >= b.offset + b.head && c.end() <= b.end();
        });
        if (!inside) return false;
    }
    return true;
}

// The movie box at the front (fast start): the media data measure the file
// over the gap; the break shows where the chunks stop checking.
std::optional<joined_file> join_front_movie(carve_input& in, uint64_t start, uint64_t limit,
                                            const join_limits& limits, const top_walk& w, uint64_t* budget) {
    const joined_view straight{in, start, ~uint64_t(0), 0};
    const top_box* moov = find_box(w, fourcc("moov"));
    std::vector<top_box> boxes = w.boxes;
    if (w.overrun) boxes.push_back(w.last);
    const auto mdat = std::find_if(boxes.begin(), boxes.end(), [](const top_box& b) { return b.type == fourcc("mdat"); });
    if (!moov || mdat == boxes.end() || mdat->offset < moov->end()) return std::nullopt;
    const auto body = read_box_body(straight, *moov, budget);
    movie m;
    if (!body || !parse_movie(*body, m) || !media_inside(m, boxes)) return std::nullopt;

    uint64_t frames_left = max_join_frames;
    const join_try t{in, start, limits, budget, m, mdat->offset + mdat->head, mdat->end(), &frames_left};
    // Where the chunks stop checking; whole when they all check.
    const size_t p = t.first_failing();
    if (p == m.chunks.size() || *budget == 0) return std::nullopt;
    // A quick test of each gap: the first checked chunk past the failing one
    // checks moved by it.
    size_t probe = p + 1;
    while (probe < m.chunks.size() &&
           (m.tracks[m.chunks[probe].track].kind == codec::unchecked || m.chunks[probe].offset < m.chunks[p].end()))
        ++probe;
    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (start + mdat->end() + shift > in.length() || !in.keep_going()) break;
        if (probe < m.chunks.size()) {
            const joined_view moved{in, start, 0, start + shift};
            reader r{moved, budget};
            if (!chunk_ok(r, m, m.chunks[probe])) {
                if (*budget == 0) return std::nullopt;
                continue;
            }
        }
        bool ambiguous = false;
        const auto b = t.split_for(shift, p, &ambiguous);
        if (ambiguous || *budget == 0 || in.stopped()) return std::nullopt;
        if (!b) continue;
        // The file runs on after its media data in the second piece.
        const joined_view v{in, start, *b, start + *b + shift};
        const uint64_t room = std::min(limit, *b + (in.length() - (start + *b + shift)));
        const top_walk whole = walk_top(v, 0, room, budget);
        if (whole.end < mdat->end()) return std::nullopt;
        return joined_file{{start, *b}, {start + *b + shift, whole.end - *b}, {}};
    }
    return std::nullopt;
}

// The movie box after the media data (the common camera layout): the walk
// ends at the media data's end, and the movie box lies a gap further.
std::optional<joined_file> join_back_movie(carve_input& in, uint64_t start, uint64_t limit,
                                           const join_limits& limits, const top_walk& w, uint64_t* budget) {
    if (w.overrun) return std::nullopt;
    const top_box* mdat = nullptr;
    for (const top_box& b : w.boxes)
        if (b.type == fourcc("mdat")) mdat = &b;
    if (!mdat) return std::nullopt;
    const uint64_t broken = w.end;  // file offset where the movie box belongs
    uint64_t frames_left = max_join_frames;
    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (start + broken + shift + box_header > in.length()) break;
        if (!in.keep_going()) return std::nullopt;
        uint8_t h[box_header];
        if (!in.read(start + broken + shift, h, sizeof h) || !iso_top_level(h + 4) || rd32(h + 4) == fourcc("ftyp"))
            continue;
        const joined_view moved{in, start, 0, start + shift};
        const uint64_t room = std::min(limit, in.length() - start - shift);
        const top_walk rest = walk_top(moved, broken, room, budget);
        const top_box* moov = find_box(rest, fourcc("moov"));
        if (!moov) continue;
        const auto body = read_box_body(moved, *moov, budget);
        movie m;
        if (!body || !parse_movie(*body, m) || !media_inside(m, w.boxes)) {
            if (*budget == 0) return std::nullopt;
            continue;
        }
        const join_try t{in, start, limits, budget, m, mdat->offset + mdat->head, broken, &frames_left};
        bool ambiguous = false;
        const auto b = t.split_for(shift, t.first_failing(), &ambiguous);
        if (ambiguous || *budget == 0 || in.stopped()) return std::nullopt;
        if (!b) continue;
        return joined_file{{start, *b}, {start + *b + shift, rest.end - *b}, {}};
    }
    return std::nullopt;
}

}  // namespace

std::optional<joined_file> join_mp4(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    uint8_t f[box_header];
    if (!in.read(start, f, sizeof f) || rd32(f + 4) != fourcc("ftyp")) return std::nullopt;
    const uint64_t ftyp_size = rd32(f);
    if (ftyp_size < box_header + 8 || ftyp_size > max_ftyp || (ftyp_size - box_header - 8) % 4 != 0) return std::nullopt;
    const joined_view straight{in, start, ~uint64_t(0), 0};
    uint64_t budget = limits.max_checked_bytes;
    const top_walk w = walk_top(straight, 0, limit, &budget);
    if (w.boxes.empty() || w.boxes.front().type != fourcc("ftyp")) return std::nullopt;
    auto joined = find_box(w, fourcc("moov")) ? join_front_movie(in, start, limit, limits, w, &budget)
                                              : join_back_movie(in, start, limit, limits, w, &budget);
    if (!joined || joined->first.size + joined->second.size > limit) return std::nullopt;
    joined->type = kind_of(in, start, ftyp_size);
    return joined;
}

bool mp4_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits) {
    // A movie box ahead of its media: the last chunk of each checked track
    // checks where it lies in a whole file.
    const joined_view straight{in, start, ~uint64_t(0), 0};
    uint64_t budget = limits.max_checked_bytes;
    const top_walk w = walk_top(straight, 0, size, &budget);
    const top_box* moov = find_box(w, fourcc("moov"));
    const top_box* mdat = find_box(w, fourcc("mdat"));
    if (!moov || !mdat || mdat->offset < moov->end()) return false;
    const auto body = read_box_body(straight, *moov, &budget);
    movie m;
    if (!body || !parse_movie(*body, m) || !media_inside(m, w.boxes)) return false;
    reader r{straight, &budget};
    std::vector<bool> seen(m.tracks.size());
    for (size_t i = m.chunks.size(); i-- > 0;) {
        const chunk& c = m.chunks[i];
        if (seen[c.track] || m.tracks[c.track].kind == codec::unchecked) continue;
        seen[c.track] = true;
        if (!chunk_ok(r, m, c)) return true;
    }
    return false;
}

}  // namespace qv::sig
