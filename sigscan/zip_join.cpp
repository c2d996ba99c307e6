// ZIP files (and the office, ODF, EPUB and JAR files built on them) found in
// two pieces: the local entries, the central directory and the end record are
// walked across the break, and the members that cross it are inflated (or
// summed, when stored) and checked against their CRC-32.

#include "sigscan/fragment_join.hpp"

#include "sigscan/joined_view.hpp"
#include "sigscan/zip_kinds.hpp"
#include "sigscan/zip_layout.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qv::sig {

namespace {

constexpr size_t max_members = size_t(1) << 20;
constexpr uint64_t npos = ~uint64_t(0);
constexpr uint64_t inflate_piece = 64 * 1024;
constexpr uint64_t max_kept_states = 64;  // inflate states kept at breaks tried (about 40 KiB each)

// A local entry that made sense: where it starts, its CRC-32 and compressed size.
struct zip_member {
    uint64_t header = 0;
    uint32_t crc = 0;
    uint64_t csize = 0;
};

// Where a walk ended: the file whole, or the element in which the break lies.
struct zip_walk {
    bool whole = false;
    uint64_t size = 0;      // whole: the file's size
    std::string_view type;  // whole: docx, odt... when the members say; else empty
    bool joinable = false;  // the walk stopped where a continuation may mend it
    uint64_t lo = 0, hi = 0;  // the break lies at a file offset in [lo, hi]
    uint64_t next = npos;     // file offset of the element after the broken one, when known
    uint64_t data = npos;     // the broken element is a member whose data start here
    uint64_t csize = 0;       // ... of this compressed size
    uint16_t method = 0;      // ... compressed by this method
    uint32_t crc = 0;         // ... with this CRC-32
};

constexpr size_t flat_sector_size = 512;

// A sector of one byte value: zeros, or erased flash.
bool is_flat(const uint8_t* p) {
    return (p[0] == 0 || p[0] == 0xFF) &&
           std::all_of(p, p + flat_sector_size, [&](uint8_t c) { return c == p[0]; });
}

// A raw deflate stream inflated piece by piece, with the CRC-32 of what it
// gave; a copy carries on from where the original stands.
class inflater {
public:
    inflater() { ready_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK; }
    inflater(const inflater& o) : crc(o.crc), produced(o.produced), consumed(o.consumed), rc(o.rc) {
        ready_ = o.ready_ && inflateCopy(&z_, const_cast<z_stream*>(&o.z_)) == Z_OK;
    }
    inflater& operator=(const inflater&) = delete;
    ~inflater() {
        if (ready_) inflateEnd(&z_);
    }

    // Inflates the stream whose first byte lies at file offset x of v on, to
    // the stream's end or file offset end, whichever comes first. Every byte
    // fed and produced counts against the budget.
    void run(const joined_view& v, uint64_t x, uint64_t end, uint64_t* budget) {
        if (!ready_) rc = Z_MEM_ERROR;
        thread_local std::vector<uint8_t> out(inflate_piece);
        while (rc == Z_OK && x + consumed < end) {
            if (!v.in.keep_going()) return fail();
            const uint64_t at = x + consumed;
            uint64_t n = std::min(inflate_piece, end - at);
            if (at < v.split) n = std::min(n, v.split - at);
            const byte_view in = v.in.view(v.device_of(at), size_t(n));
            if (in.empty()) return fail();
            const size_t usable = before_flat_sector(in, v.device_of(at));
            if (!charge(budget, usable)) return fail();
            z_.next_in = const_cast<Bytef*>(in.data());
            z_.avail_in = uInt(usable);
            int r;
            do {
                z_.next_out = out.data();
                z_.avail_out = uInt(out.size());
                r = inflate(&z_, Z_NO_FLUSH);
                const uint64_t made = out.size() - z_.avail_out;
                if (!charge(budget, made)) return fail();
                crc = crc32(crc, out.data(), uInt(made));
                produced += made;
            } while (r == Z_OK && (z_.avail_in > 0 || z_.avail_out == 0));
            consumed += usable - z_.avail_in;
            if (r == Z_STREAM_END) rc = Z_STREAM_END;
            else if (r != Z_OK && !(r == Z_BUF_ERROR && z_.avail_in == 0)) rc = Z_DATA_ERROR;
            else if (usable < in.size()) rc = Z_DATA_ERROR;
        }
    }
    bool ended() const { return rc == Z_STREAM_END; }
    bool going() const { return rc == Z_OK; }

    uLong crc = crc32(0, nullptr, 0);  // of what was produced
    uint64_t produced = 0;
    uint64_t consumed = 0;  // compressed bytes used (on a failure, how far the data made sense)
    int rc = Z_OK;          // Z_OK while it may go on

private:
    // Compressed data hold no sector of one byte value (zeros, erased flash;
    // a run of zeros compressed over and over is the rare exception, not
    // joined): the bytes of in, which lies at device offset at, before the
    // first such sector.
    static size_t before_flat_sector(const byte_view& in, uint64_t at) {
        constexpr uint64_t sector = flat_sector_size;
        for (uint64_t s = (at + sector - 1) / sector * sector; s + sector <= at + in.size(); s += sector)
            if (is_flat(in.data() + (s - at))) return size_t(s - at);
        return in.size();
    }
    static bool charge(uint64_t* budget, uint64_t n) {
        if (*budget < n) {
            *budget = 0;
            return false;
        }
        *budget -= n;
        return true;
    }
    void fail() { rc = Z_DATA_ERROR; }

    z_stream z_{};
    bool ready_ = false;
};

// Walks a ZIP from its first local header through its end record, reading
// through v no further than limit. Members that hold the view's split are
// checked against their CRC-32; the others are passed by their sizes.
class zip_walker {
public:
    zip_walker(const joined_view& v, uint64_t limit, uint64_t* budget) : v_(v), limit_(limit), budget_(budget) {}
    // The deflated member whose data start at file offset data, inflated up to the view's split.
    void resume_from(const inflater* at_split, uint64_t data) {
        at_split_ = at_split;
        at_split_data_ = data;
    }

    zip_walk run() {
        uint64_t pos = 0;
        std::string_view kind;
        // Local entries, one after the other.
        for (;;) {
            uint8_t h[zip::local_bytes];
            if (!read(pos, h, sizeof h)) return lost(pos);
            const byte_view hv(h, sizeof h);
            if (hv.le32(0) != zip::local_signature) break;
            if (!v_.in.keep_going()) return w_;
            const uint16_t version = hv.le16(zip::local_version), flags = hv.le16(zip::local_flags),
                           method = hv.le16(zip::local_method);
            const uint16_t name_len = hv.le16(zip::local_name_length), extra_len = hv.le16(zip::local_extra_length);
            uint64_t csize = hv.le32(zip::local_compressed), usize = hv.le32(zip::local_uncompressed);
            uint32_t crc = hv.le32(zip::local_crc);
            const uint64_t data = pos + zip::local_bytes + name_len + extra_len;
            if ((version & 0xFF) > 100 || method > 99 || name_len == 0 || members_.size() >= max_members ||
                data > limit_)
                return broken(pos, std::min(limit_, pos + zip::local_bytes), npos);
            last_ = pos;
            if (members_.empty() && method == zip::method_stored && name_len == 8 && csize < 128) {
                uint8_t text[8 + 128];
                if (read(pos + zip::local_bytes, text, 8) && std::memcmp(text, "mimetype", 8) == 0 &&
                    read(data, text + 8, size_t(csize)))
                    kind = zip_mimetype_kind(std::string(reinterpret_cast<char*>(text + 8), size_t(csize)));
            }
            if (csize == zip::in_zip64 || usize == zip::in_zip64)
                zip::zip64_extra_sizes([this](uint64_t x, uint8_t* out, size_t n) { return read(x, out, n); },
                                       pos + zip::local_bytes + name_len, extra_len, &usize, &csize);
            const bool sized = !((flags & zip::flag_descriptor) && csize == 0);
            const bool crosses = pos <= v_.split && (!sized || v_.split < data + csize);
            const bool checkable = !(flags & 0x01) && (method == zip::method_stored || method == zip::method_deflated);
            bool summed = false;  // crc holds the CRC-32 of the data as read
            if (sized && csize > limit_ - data) return broken(pos, data, npos);  // a size broken by the break
            if (crosses || !sized) {
                if (!checkable || (method == zip::method_stored && !sized)) return w_;  // no way to tell a right join
                if (method == zip::method_deflated) {
                    // Where the member's first piece was inflated already, from there on.
                    const bool resume = at_split_ && data == at_split_data_ && at_split_->consumed == v_.split - data;
                    inflater r = resume ? inflater(*at_split_) : inflater();
                    r.run(v_, data, sized ? data + csize : limit_, budget_);
                    if (!r.ended() || (sized && r.consumed != csize) ||
                        (!(flags & zip::flag_descriptor) &&
                         (uint32_t(r.crc) != crc || (usize != zip::in_zip64 && r.produced != usize))))
                        return broken(pos, data + r.consumed, sized ? data + csize : npos, data, sized ? csize : 0, method);
                    csize = r.consumed;
                    crc = uint32_t(r.crc);
                } else {
                    uint32_t sum = 0;
                    if (!v_.crc(data, csize, &sum)) return w_;
                    if (!(flags & zip::flag_descriptor) && sum != crc) return broken(pos, data + csize, data + csize);
                    crc = sum;
                }
                summed = true;
            }
            pos = data + csize;
            if (flags & zip::flag_descriptor) {
                // The data descriptor: its signature is optional, its sizes are 32 or 64 bits.
                uint8_t d[4 + 4 + 16];
                const uint64_t room = std::min<uint64_t>(sizeof d, limit_ - std::min(limit_, pos));
                if (room < 12 || !read(pos, d, size_t(room))) return broken(last_, std::min(limit_, pos + sizeof d), npos);
                const byte_view dv(d, size_t(room));
                const uint64_t at = dv.le32(0) == zip::descriptor_signature ? 4 : 0;
                const uint32_t dcrc = dv.le32(size_t(at));
                // Deflated data may seem to end in other data: the break may
                // lie anywhere in the member until its descriptor checks.
                if ((summed && dcrc != crc) || !dv.has(size_t(at) + 12, 0))
                    return broken(last_, pos + 4, npos, data, sized ? csize : 0, method);
                if (dv.le32(size_t(at) + 4) == (csize & 0xFFFFFFFF) && csize <= 0xFFFFFFFF) pos += at + 12;
                else if (dv.has(size_t(at) + 4, 16) && dv.le64(size_t(at) + 4) == csize) pos += at + 20;
                else return broken(last_, std::min(limit_, pos + sizeof d), npos);
                crc = dcrc;
            }
            members_.push_back({last_, crc, csize});
            last_data_ = data;
            last_csize_ = csize;
            last_method_ = method;
            last_crc_ = crc;
        }
        if (members_.empty()) return w_;
        // The central directory follows the last local entry; its entries
        // name the local headers in order.
        const uint64_t central = pos;
        size_t i = 0;
        for (;;) {
            uint8_t h[zip::central_bytes];
            if (!read(pos, h, sizeof h)) return lost(pos);
            const byte_view hv(h, sizeof h);
            if (hv.le32(0) != zip::central_signature) break;
            if (!v_.in.keep_going()) return w_;
            if (i >= members_.size()) return broken(pos, pos + zip::central_bytes, npos);
            const zip_member& m = members_[i++];
            const uint32_t crc = hv.le32(zip::central_crc), csize = hv.le32(zip::central_compressed),
                           offset = hv.le32(zip::central_local_offset);
            const uint16_t name_len = hv.le16(zip::central_name_length), extra_len = hv.le16(zip::central_extra_length),
                           comment_len = hv.le16(zip::central_comment_length);
            const uint64_t next = pos + zip::central_bytes + name_len + extra_len + comment_len;
            if (crc != m.crc || (csize != zip::in_zip64 && csize != m.csize) ||
                (offset != zip::in_zip64 && offset != m.header) || next > limit_)
                return broken(pos, std::min(limit_, pos + zip::central_bytes), npos);
            if (kind.empty() && name_len > 0 && name_len < 256) {
                std::string name(name_len, '\0');
                if (read(pos + zip::central_bytes, reinterpret_cast<uint8_t*>(name.data()), name_len)) kind = zip_member_kind(name);
            }
            last_ = pos;
            last_data_ = npos;
            pos = next;
        }
        if (i != members_.size()) return lost(pos);
        const uint64_t central_bytes = pos - central;
        uint8_t h[zip::end_bytes];
        if (!read(pos, h, 4)) return lost(pos);
        if (byte_view(h, 4).le32(0) == zip::end64_signature) {
            uint8_t z[zip::end64_head_bytes], loc[zip::locator64_bytes];
            if (!read(pos, z, sizeof z)) return lost(pos);
            const uint64_t record = byte_view(z, sizeof z).le64(zip::end64_rest_size);
            if (record > limit_ - pos - zip::end64_head_bytes) return broken(pos, pos + sizeof z, npos);
            last_ = pos;
            last_data_ = npos;
            pos += zip::end64_head_bytes + record;
            if (!read(pos, loc, sizeof loc) || byte_view(loc, sizeof loc).le32(0) != zip::locator64_signature) return lost(pos);
            last_ = pos;
            pos += zip::locator64_bytes;
        }
        if (!read(pos, h, sizeof h)) return lost(pos);
        const byte_view ev(h, sizeof h);
        if (ev.le32(0) != zip::end_signature) return lost(pos);
        const uint32_t total = ev.le16(zip::end_entries), size = ev.le32(zip::end_central_size),
                       offset = ev.le32(zip::end_central_offset);
        if ((total != zip::entries_in_zip64 && total != (members_.size() & 0xFFFF)) ||
            (size != zip::in_zip64 && size != central_bytes) || (offset != zip::in_zip64 && offset != central))
            return broken(pos, pos + zip::end_bytes, npos);
        const uint64_t end = pos + zip::end_bytes + ev.le16(zip::end_comment_length);
        if (end > limit_) return w_;
        w_.whole = true;
        w_.size = end;
        w_.type = kind;
        return w_;
    }

private:
    bool read(uint64_t x, uint8_t* out, size_t n) {
        if (x > limit_ || n > limit_ - x) return false;
        if (*budget_ < n) {
            *budget_ = 0;
            return false;
        }
        *budget_ -= n;
        return v_.read(x, out, n);
    }


    zip_walk& broken(uint64_t lo, uint64_t hi, uint64_t next, uint64_t data = npos, uint64_t csize = 0,
                    uint16_t method = 0) {
        w_.joinable = true;
        w_.lo = lo;
        w_.hi = std::max(lo, hi);
        w_.next = next;
        w_.data = data;
        w_.csize = csize;
        w_.method = method;
        return w_;
    }
    // The next element is not at pos, where the last one ended: the break lies
    // in the last one or at pos.
    zip_walk lost(uint64_t pos) {
        if (last_ == npos) return w_;
        zip_walk& w = broken(last_, pos, pos, last_data_, last_csize_, last_method_);
        w.crc = last_crc_;
        return w;
    }

    const joined_view& v_;
    uint64_t limit_;
    uint64_t* budget_;
    const inflater* at_split_ = nullptr;
    uint64_t at_split_data_ = npos;
    uint64_t last_ = npos;  // start of the last element that made sense
    uint64_t last_data_ = npos, last_csize_ = 0;  // its data, when it is a member
    uint16_t last_method_ = 0;
    uint32_t last_crc_ = 0;
    std::vector<zip_member> members_;
    zip_walk w_;
};

bool zip_signature(const uint8_t* p) {
    if (p[0] != 'P' || p[1] != 'K') return false;
    const unsigned pair = unsigned(p[2]) << 8 | p[3];
    return pair == 0x0304 || pair == 0x0102 || pair == 0x0506 || pair == 0x0606 || pair == 0x0708;
}

}  // namespace

std::optional<joined_file> join_zip(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    uint8_t sig[4];
    if (!in.read(start, sig, sizeof sig) || byte_view(sig, 4).le32(0) != zip::local_signature) return std::nullopt;
    uint64_t budget = limits.max_checked_bytes;
    // The first piece as it lies: where its structure stops making sense.
    const joined_view straight{in, start, ~uint64_t(0), 0, &budget};
    zip_walk first = zip_walker(straight, limit, &budget).run();
    if (first.whole || !first.joinable || in.stopped() || in.vanished()) return std::nullopt;
    // A deflated member whose data run on into other data stops inflating
    // soon after the break: the break lies before that point.
    // One that inflates whole to its size and CRC-32 ends before the break.
    if (first.method == 8 && first.data != npos && first.csize > 0) {
        inflater r;
        r.run(straight, first.data, first.data + first.csize, &budget);
        if (!r.ended()) first.hi = std::min(first.hi, first.data + r.consumed);
        else if (r.consumed == first.csize && uint32_t(r.crc) == first.crc)
            first.lo = std::min(first.hi, first.data + first.csize);
    }
    const uint64_t first_break = limits.boundary_from(start + std::max<uint64_t>(first.lo, 1));
    // A deflated member across the break is inflated up to each break tried
    // once, not again for every gap: the states at the last breaks (where
    // other data stopped inflating, the break is near) are kept.
    std::vector<std::pair<uint64_t, std::unique_ptr<inflater>>> at_break;
    if (first.method == 8 && first.data != npos && first.data < first.hi) {
        const uint64_t last_break = first_break + (start + first.hi - std::min(start + first.hi, first_break)) /
                                                      limits.cluster * limits.cluster;
        uint64_t b = std::max(first_break, start + first.data + 1);
        b = first_break + (b - first_break + limits.cluster - 1) / limits.cluster * limits.cluster;
        if (last_break >= b && (last_break - b) / limits.cluster >= max_kept_states)
            b = last_break - (max_kept_states - 1) * limits.cluster;
        inflater walk;
        for (; b <= last_break; b += limits.cluster) {
            walk.run(straight, first.data, b - start, &budget);
            if (!walk.going() || walk.consumed != b - start - first.data) break;
            at_break.emplace_back(b, std::make_unique<inflater>(walk));
        }
    }
    // A stored member across the break: the CRC-32 of its first piece up to
    // each break tried is summed once; for each gap, the rest's from each break
    // on in one pass back from the member's end, and only the breaks where the
    // two combine to the member's CRC-32 are walked.
    std::vector<std::pair<uint64_t, uLong>> stored_before;  // break, CRC-32 of the member's data before it
    if (first.method == 0 && first.data != npos && first.csize > 0 && first.next != npos) {
        uLong sum = crc32(0, nullptr, 0);
        for (uint64_t b = first_break, x = first.data; b <= start + first.hi; b += limits.cluster) {
            const uint64_t split = b - start;
            if (split <= first.data) continue;
            if (split >= first.data + first.csize) break;
            uint32_t part = 0;
            if (!straight.crc(x, split - x, &part)) break;
            sum = crc32_combine(sum, part, z_off_t(split - x));
            x = split;
            stored_before.emplace_back(b, sum);
        }
    }
    std::vector<bool> stored_fits;
    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (first_break + shift >= in.length()) break;
        if (!in.keep_going()) return std::nullopt;
        // Wherever the break lies in the broken element, the element after it
        // then lies at the same place: a quick test of this gap.
        if (first.next != npos) {
            const uint64_t next = start + first.next + shift;
            uint8_t n[4];
            if (next + sizeof n > in.length()) break;
            if (!in.read(next, n, sizeof n) || !zip_signature(n)) continue;
        }
        if (!stored_before.empty()) {
            stored_fits.assign(stored_before.size(), true);
            const uint64_t end = start + first.data + first.csize + shift;  // the member's data end in this gap
            uLong rest = crc32(0, nullptr, 0);
            uint64_t rest_size = 0;
            for (size_t j = stored_before.size(); j-- > 0 && end <= in.length();) {
                const uint64_t at = stored_before[j].first + shift, size = end - rest_size - at;
                uint32_t part = 0;
                if (!joined_view{in, at, ~uint64_t(0), 0, &budget}.crc(0, size, &part)) break;
                rest = crc32_combine(part, rest, z_off_t(rest_size));
                rest_size += size;
                stored_fits[j] = uint32_t(crc32_combine(stored_before[j].second, rest, z_off_t(rest_size))) == first.crc;
            }
            if (budget == 0) return std::nullopt;
        }
        for (uint64_t b = first_break; b <= start + first.hi; b += limits.cluster) {
            const uint64_t split = b - start, resume = b + shift;
            if (resume >= in.length()) break;
            if (!stored_before.empty() && b >= stored_before.front().first) {
                const uint64_t j = (b - stored_before.front().first) / limits.cluster;
                if (j < stored_fits.size() && !stored_fits[j]) continue;
            }
            const uint64_t rest_room = std::min<uint64_t>(in.length() - resume, limit - std::min(limit, split));
            const joined_view v{in, start, split, resume, &budget};
            const inflater* state = nullptr;
            for (const auto& [at, kept] : at_break)
                if (at == b) state = kept.get();
            // Deflated data do not go on with a sector of one byte value.
            uint8_t sector[flat_sector_size];
            if (state && in.read(resume, sector, sizeof sector) && is_flat(sector)) continue;
            zip_walker walker(v, split + rest_room, &budget);
            if (state) walker.resume_from(state, first.data);
            const zip_walk w = walker.run();
            if (w.whole && w.size > split) return joined_file{{start, split}, {resume, w.size - split}, w.type};
            if (in.stopped() || in.vanished() || budget == 0) return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace qv::sig
