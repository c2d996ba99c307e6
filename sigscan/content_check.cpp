// Content checks of found files: JPEG entropy data decoded by libjpeg, PNG
// chunk CRCs and the zlib stream of the image data, and the CRCs of the first
// entries of ZIP archives (and the documents built on ZIP).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>  // needs size_t and FILE declared first
#include <zlib.h>

#include "devices/le_bytes.hpp"
#include "sigscan/carve_input.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/jpeg_decode.hpp"

namespace qv::sig {

namespace {

constexpr uint64_t max_checked_jpeg = uint64_t(128) << 20;
constexpr size_t piece = size_t(1) << 20;
constexpr std::array<std::string_view, 9> zip_types{"zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "odg", "epub"};

// ---- JPEG ----
// Lossless and hierarchical frames, which this libjpeg does not decode: not checked.
bool jpeg_decodable(const std::vector<uint8_t>& data) {
    for (size_t pos = 2; pos + 4 <= data.size();) {
        if (data[pos] != 0xFF) return false;
        const int m = data[pos + 1];
        if (m == 0xFF) {
            ++pos;
            continue;
        }
        if (m == 0xC3 || (m >= 0xC5 && m <= 0xC7) || m == 0xCB || (m >= 0xCD && m <= 0xCF)) return false;
        if ((m >= 0xC0 && m <= 0xC2) || m == 0xC9 || m == 0xCA || m == 0xDA) return true;
        pos += 2 + (size_t(data[pos + 2]) << 8 | data[pos + 3]);
    }
    return false;
}

content_state check_jpeg(const std::vector<uint8_t>& data) {
    if (!jpeg_decodable(data)) return content_state::unchecked;
    const bool clean = jpeg_decodes_cleanly(
        [&](jpeg_decompress_struct* info) { jpeg_mem_src(info, data.data(), static_cast<unsigned long>(data.size())); },
        data.size());
    return clean ? content_state::intact : content_state::damaged;
}

// ---- PNG ----
content_state check_png(const std::vector<uint8_t>& data) {
    constexpr size_t signature = 8, overhead = 12;
    byte_view v(data.data(), data.size());
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return content_state::unchecked;
    constexpr uint64_t max_inflated = uint64_t(4) << 30;
    bool ok = true, ended = false, image = false;
    std::vector<uint8_t> sink(64 * 1024);
    size_t pos = signature;
    while (ok && pos + overhead <= data.size()) {
        const uint32_t length = be32(v, pos);
        if (length > data.size() - pos - overhead) {
            ok = false;
            break;
        }
        const uint8_t* type = &data[pos + 4];
        const uint32_t crc = uint32_t(crc32(0, type, uInt(4 + length)));
        if (crc != be32(v, pos + 8 + length)) ok = false;
        if (std::memcmp(type, "IDAT", 4) == 0) image = true;
        if (ok && std::memcmp(type, "IDAT", 4) == 0) {
            if (ended) {
                ok = false;  // data after the end of the stream
                break;
            }
            z.next_in = const_cast<Bytef*>(&data[pos + 8]);
            z.avail_in = length;
            while (z.avail_in > 0 && !ended) {
                z.next_out = sink.data();
                z.avail_out = uInt(sink.size());
                int rc = inflate(&z, Z_NO_FLUSH);
                if (rc == Z_STREAM_END) ended = true;
                else if (rc != Z_OK || z.total_out > max_inflated) {
                    ok = false;
                    break;
                }
            }
        }
        if (std::memcmp(type, "IEND", 4) == 0) break;
        pos += overhead + length;
    }
    inflateEnd(&z);
    if (!ok) return content_state::damaged;
    if (!image) return content_state::unchecked;
    return ended ? content_state::intact : content_state::damaged;
}

// ---- ZIP ----
// The CRC of the first entries that say their sizes in the local header.
content_state check_zip(device_handle& device, uint64_t offset, uint64_t size) {
    constexpr uint32_t local_signature = 0x04034b50;
    constexpr size_t local_size = 30;
    constexpr int max_entries = 8;
    constexpr uint64_t max_bytes = uint64_t(64) << 20;  // compressed, and again uncompressed
    constexpr uint16_t stored = 0, deflated = 8, encrypted = 1, descriptor = 8;
    uint64_t pos = 0, checked_bytes = 0, produced_bytes = 0;
    int checked = 0;
    std::vector<uint8_t> in(piece), out(piece);
    for (int e = 0; e < max_entries && checked_bytes < max_bytes; ++e) {
        uint8_t h[local_size];
        if (pos + local_size > size || !device.read_exact(offset + pos, h, sizeof h)) break;
        byte_view v(h, sizeof h);
        if (v.le32(0) != local_signature) break;
        const uint16_t flags = v.le16(6), method = v.le16(8);
        const uint32_t crc = v.le32(14);
        const uint64_t compressed = v.le32(18), uncompressed = v.le32(22);
        const uint64_t data = pos + local_size + v.le16(26) + v.le16(28);
        if (flags & (encrypted | descriptor)) break;  // sizes elsewhere, or not readable
        if (compressed == 0xFFFFFFFFu || data > size || compressed > size - data) break;
        if (produced_bytes + uncompressed > max_bytes) break;
        if (method != stored && method != deflated) {
            pos = data + compressed;
            continue;
        }
        z_stream z{};
        if (method == deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) return content_state::unchecked;
        uint32_t sum = uint32_t(crc32(0, nullptr, 0));
        uint64_t produced = 0, read = 0;
        bool ok = true, ended = method == stored;
        while (ok && read < compressed) {
            size_t n = size_t(std::min<uint64_t>(in.size(), compressed - read));
            if (!device.read_exact(offset + data + read, in.data(), n)) {
                ok = false;
                break;
            }
            read += n;
            if (method == stored) {
                sum = uint32_t(crc32(sum, in.data(), uInt(n)));
                produced += n;
                continue;
            }
            z.next_in = in.data();
            z.avail_in = uInt(n);
            while (z.avail_in > 0 && !ended) {
                z.next_out = out.data();
                z.avail_out = uInt(out.size());
                int rc = inflate(&z, Z_NO_FLUSH);
                size_t made = out.size() - z.avail_out;
                sum = uint32_t(crc32(sum, out.data(), uInt(made)));
                produced += made;
                if (rc == Z_STREAM_END) ended = true;
                else if (rc != Z_OK && rc != Z_BUF_ERROR) ok = false;
                if (produced > uncompressed) ok = false;  // more than the header says: stop here
                if (!ok || (rc == Z_BUF_ERROR && made == 0)) break;
            }
        }
        if (method == deflated) inflateEnd(&z);
        if (!ok || !ended || sum != crc || produced != uncompressed) return content_state::damaged;
        checked_bytes += compressed;
        produced_bytes += produced;
        ++checked;
        pos = data + compressed;
    }
    return checked > 0 ? content_state::intact : content_state::unchecked;
}

bool read_whole(device_handle& device, uint64_t offset, uint64_t size, std::vector<uint8_t>& out) {
    out.resize(size_t(size));
    if (out.capacity() > 4 * size + (size_t(16) << 20)) out.shrink_to_fit();
    for (uint64_t done = 0; done < size;) {
        size_t n = size_t(std::min<uint64_t>(piece * 8, size - done));
        if (!device.read_exact(offset + done, out.data() + done, n)) return false;
        done += n;
    }
    return true;
}

}  // namespace

bool has_content_check(std::string_view type) {
    return type == "jpg" || type == "png" || std::find(zip_types.begin(), zip_types.end(), type) != zip_types.end();
}

content_state check_content(device_handle& device, uint64_t offset, uint64_t size, std::string_view type) {
    if (offset > device.length() || size > device.length() - offset) return content_state::unchecked;
    if (std::find(zip_types.begin(), zip_types.end(), type) != zip_types.end())
        return check_zip(device, offset, size);
    if ((type != "jpg" && type != "png") || size > max_checked_jpeg) return content_state::unchecked;
    thread_local std::vector<uint8_t> data;  // kept: photo after photo, no new pages
    if (!read_whole(device, offset, size, data)) return content_state::unchecked;
    return type == "jpg" ? check_jpeg(data) : check_png(data);
}

}  // namespace qv::sig
