// Size rules for sound and video containers: MPEG audio, RIFF (WAV, AVI),
// ISO media boxes (MP4, MOV, M4A, M4V, 3GP, HEIC, AVIF, CR3) and Ogg (Vorbis, FLAC, Opus).

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

#include "sigscan/crc.hpp"
#include "sigscan/mpeg_audio.hpp"
#include "sigscan/rules/rules.hpp"

namespace qv::sig {

// ---- ISO media ----
bool iso_top_level(const uint8_t* t) {
    static constexpr std::array<std::string_view, 20> known{
        "ftyp", "pdin", "moov", "moof", "mfra", "mdat", "free", "skip", "wide", "uuid",
        "meta", "styp", "sidx", "ssix", "prft", "emsg", "udta", "pnot", "junk", "PICT"};
    std::string_view type(reinterpret_cast<const char*>(t), 4);
    return std::find(known.begin(), known.end(), type) != known.end();
}

std::string_view iso_kind(const uint8_t* major, const std::vector<std::string>& compatible) {
    std::string_view brand(reinterpret_cast<const char*>(major), 4);
    auto has = [&](std::string_view b) {
        return std::find(compatible.begin(), compatible.end(), b) != compatible.end();
    };
    if (brand == "qt  ") return "mov";
    if (brand == "M4A " || brand == "M4B " || brand == "M4P ") return "m4a";
    if (brand == "avif" || brand == "avis") return "avif";
    if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "hevx") return "heic";
    if (brand == "mif1" || brand == "msf1") return has("avif") ? "avif" : "heic";
    if (brand.substr(0, 3) == "3g2") return "3g2";
    if (brand.substr(0, 3) == "3gp") return "3gp";
    if (brand == "M4V " || brand == "M4VH" || brand == "M4VP") return "m4v";
    if (brand == "crx ") return "cr3";
    return {};
}

std::optional<carve_result> measure_mp3(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    const uint64_t end = start + limit;
    const auto audio = id3v2_end(in, start, limit);
    if (!audio) return std::nullopt;
    const bool tagged = *audio != start;
    uint64_t pos = *audio;
    std::optional<mpeg_frame> first;
    uint64_t frames = 0;
    while (pos + 4 <= end) {
        uint8_t fh[4];
        if (!in.read(pos, fh, 4)) break;
        auto f = mpeg_header(fh);
        if (!f) break;
        if (first && (f->version != first->version || f->layer != first->layer ||
                      f->sample_rate != first->sample_rate))
            break;
        if (f->length > end - pos) break;
        if (!first) first = f;
        pos += f->length;
        ++frames;
        if ((frames & 1023) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (frames < (tagged ? 2u : 6u)) return std::nullopt;
    return sized(end_tags_end(in, pos, end) - start, limit);
}

std::optional<carve_result> measure_riff(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t riff_header = 12, chunk_header = 8;
    uint8_t h[riff_header + chunk_header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    auto printable = [](const uint8_t* t) {
        for (int i = 0; i < 4; ++i)
            if (t[i] < 0x20 || t[i] > 0x7E) return false;
        return true;
    };
    uint64_t size = v.le32(4);
    if (size < 4 + chunk_header || !printable(h + 8) || !printable(h + 12)) return std::nullopt;
    if (v.le32(16) > size - 4 - chunk_header) return std::nullopt;
    std::string_view form(reinterpret_cast<const char*>(h + 8), 4);
    std::string_view kind = form == "WAVE" ? "wav" : form == "AVI " ? "avi" : form == "WEBP" ? "webp" : "";
    uint64_t total = chunk_header + size;
    if (total > limit) return std::nullopt;
    // Large AVI files go on in further RIFF chunks of form AVIX.
    while (form == "AVI " && total + riff_header <= limit) {
        uint8_t x[riff_header];
        if (!in.read(start + total, x, sizeof x) || std::memcmp(x, "RIFF", 4) != 0 ||
            std::memcmp(x + 8, "AVIX", 4) != 0)
            break;
        uint64_t more = chunk_header + byte_view(x, sizeof x).le32(4);
        if (more > limit - total) return std::nullopt;
        total += more;
    }
    return sized(total, limit, kind);
}

std::optional<carve_result> measure_isobmff(carve_input& in, uint64_t start, uint64_t limit,
                                            const file_type&) {
    constexpr size_t box_header = 8, large_header = 16;
    constexpr uint32_t max_ftyp = 4096;
    const uint64_t end = start + limit;
    uint8_t f[box_header + 8];
    if (!in.read(start, f, sizeof f)) return std::nullopt;
    byte_view fv(f, sizeof f);
    uint32_t ftyp_size = be32(fv, 0);
    if (ftyp_size < box_header + 8 || ftyp_size > max_ftyp || (ftyp_size - box_header - 8) % 4 != 0)
        return std::nullopt;
    for (int i = 8; i < 12; ++i)
        if (f[i] < 0x20 || f[i] > 0x7E) return std::nullopt;
    std::vector<std::string> compatible;
    std::vector<uint8_t> brands(ftyp_size - box_header - 8);
    if (!in.read(start + box_header + 8, brands.data(), brands.size())) return std::nullopt;
    for (size_t i = 0; i + 4 <= brands.size(); i += 4)
        compatible.emplace_back(reinterpret_cast<const char*>(&brands[i]), 4);
    uint64_t pos = start;
    bool movie = false, media_data = false;
    while (pos + box_header <= end) {
        uint8_t b[large_header];
        size_t n = size_t(std::min<uint64_t>(sizeof b, end - pos));
        if (!in.read(pos, b, n)) break;
        byte_view v(b, n);
        if (!iso_top_level(b + 4)) break;
        uint64_t size = be32(v, 0);
        if (size == 1) {
            if (n < large_header) return std::nullopt;
            size = be64(v, 8);
            if (size < large_header) return std::nullopt;
        } else if (size < box_header) {
            return std::nullopt;  // 0 means "to the end of the file", which carving cannot know
        }
        if (size > end - pos) return std::nullopt;
        if (std::memcmp(b + 4, "moov", 4) == 0 || std::memcmp(b + 4, "moof", 4) == 0) movie = true;
        if (std::memcmp(b + 4, "mdat", 4) == 0) media_data = true;
        pos += size;
    }
    if (!movie) {
        // Still pictures (HEIF, AVIF) carry their items in a meta box instead,
        // and their coded data in a media data box.
        std::string_view kind = iso_kind(f + 8, compatible);
        if ((kind != "heic" && kind != "avif") || !media_data) return std::nullopt;
    }
    return sized(pos - start, limit, iso_kind(f + 8, compatible));
}

std::optional<carve_result> measure_ogg(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t page_header = 27, crc_at = 22;
    constexpr uint8_t continued = 1, first_page = 2, last_page = 4;
    const uint64_t end = start + limit;
    std::set<uint32_t> open, seen;
    uint64_t pos = start;
    std::vector<uint8_t> page;
    uint64_t pages = 0;
    std::string_view kind;
    while (pos + page_header <= end) {
        uint8_t h[page_header + 255];
        if (!in.read(pos, h, page_header)) return std::nullopt;
        byte_view v(h, sizeof h);
        if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0 || (h[5] & ~(continued | first_page | last_page)))
            return std::nullopt;
        uint8_t segments = h[26];
        if (!in.read(pos + page_header, h + page_header, segments)) return std::nullopt;
        uint64_t body = 0;
        for (int i = 0; i < segments; ++i) body += h[page_header + i];
        uint64_t size = page_header + segments + body;
        if (size > end - pos) return std::nullopt;
        page.resize(size_t(size));
        if (!in.read(pos, page.data(), page.size())) return std::nullopt;
        uint32_t stored = v.le32(crc_at);
        std::memset(page.data() + crc_at, 0, 4);
        if (ogg_crc(0, page.data(), page.size()) != stored) return std::nullopt;
        // An Opus stream's first packet is its identification header.
        constexpr std::string_view opus_head = "OpusHead";
        if (pages == 0 && body >= opus_head.size() &&
            std::memcmp(page.data() + page_header + segments, opus_head.data(), opus_head.size()) == 0)
            kind = "opus";
        uint32_t serial = v.le32(14);
        if (h[5] & first_page) {
            if (seen.count(serial)) return std::nullopt;
            seen.insert(serial);
            open.insert(serial);
        } else if (!open.count(serial)) {
            return std::nullopt;
        }
        if (h[5] & last_page) open.erase(serial);
        pos += size;
        ++pages;
        // Once every stream has ended, the file ends: a new stream begins the next one.
        if (open.empty()) return sized(pos - start, limit, kind);
        if ((pages & 255) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (pages == 0 || !open.empty()) return std::nullopt;
    return sized(pos - start, limit, kind);
}

}  // namespace qv::sig
