#include "sigscan/scanner.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "sigscan/carve_input.hpp"
#include "sigscan/fragment_join.hpp"
#include "sigscan/header_search.hpp"
#include "sigscan/pair_filter.hpp"
#include "sigscan/rules/rules.hpp"
#include "sigscan/sc_api.hpp"
#include "sigscan/start_filter.hpp"

namespace qv::sig {

namespace {

constexpr uint64_t sector_size = 512;
// Where the volume's cluster size is unknown, breaks and gaps are looked for
// in steps of 4 KiB: every cluster size from 4 KiB up is a multiple of it.
constexpr uint64_t default_join_cluster = 4096;

// Header patterns grouped by the position of the byte they are dispatched on,
// each group indexed by that byte's value: one table look-up per group and
// offset. The dispatch byte is the first fixed one that is not zero and is
// followed by a fixed byte, so that runs of zeros do not wake formats whose
// headers start with zeros (ICO, MPEG program streams, TrueType).
class dispatcher {
public:
    struct candidate {
        uint32_t type;
        uint32_t header;
    };

    static size_t dispatch_position(const byte_pattern& p) {
        for (size_t a = p.anchor(); a + 1 < p.size(); ++a)
            if (!p.is_wild(a) && p.byte(a) != 0 && !p.is_wild(a + 1)) return a;
        return p.anchor();
    }

    // vector_pairs: every byte is searched with the vector test where the processor has it.
    dispatcher(const signature_config& config, bool vector_pairs) {
        union_.fill(0);
        std::vector<pair_filter::prefix> prefixes;
        for (uint32_t t = 0; t < config.types.size(); ++t) {
            const auto& headers = config.types[t].headers;
            for (uint32_t h = 0; h < headers.size(); ++h) {
                const byte_pattern& p = headers[h];
                uint32_t id = uint32_t(candidates_.size());
                candidates_.push_back({t, h});
                lookahead_ = std::max(lookahead_, p.size());
                const size_t a = dispatch_position(p);
                auto g = std::find_if(groups_.begin(), groups_.end(),
                                      [&](const std::unique_ptr<group>& x) { return x->pos == a; });
                if (g == groups_.end()) {
                    groups_.push_back(std::make_unique<group>());
                    groups_.back()->pos = a;
                    groups_.back()->any.fill(0);
                    groups_.back()->pairs.fill(0);
                    g = groups_.end() - 1;
                }
                group& gr = **g;
                gr.ids[p.byte(a)].push_back(id);
                gr.any[p.byte(a)] = 1;
                // Pairs of the dispatch byte and the one after it: a far finer first test.
                bool second_fixed = a + 1 < p.size() && !p.is_wild(a + 1);
                for (unsigned b = 0; b < 256; ++b) {
                    if (second_fixed && b != p.byte(a + 1)) continue;
                    unsigned pair = unsigned(p.byte(a)) << 8 | b;
                    gr.pairs[pair >> 6] |= uint64_t(1) << (pair & 63);
                    union_[pair >> 6] |= uint64_t(1) << (pair & 63);
                }
                max_pos_ = std::max(max_pos_, a);
                pair_filter::prefix prefix;
                for (size_t k = 0; k < 3; ++k) {
                    prefix.fixed[k] = a + k < p.size() && !p.is_wild(a + k);
                    prefix.bytes[k] = prefix.fixed[k] ? p.byte(a + k) : 0;
                }
                prefixes.push_back(prefix);
            }
        }
        starts_ = start_filter(config);
        if (vector_pairs) {
            pair_filter pairs(union_, prefixes);
            if (pairs.vector()) pairs_ = pairs;
        }
        min_pos_ = max_pos_;
        for (const auto& g : groups_) min_pos_ = std::min(min_pos_, g->pos);
    }

    size_t lookahead() const { return lookahead_; }
    // True when every byte is searched 64 positions at a time.
    bool vector_pairs() const { return pairs_.vector(); }
    const candidate& at(uint32_t id) const { return candidates_[id]; }

    // Ids of the headers whose dispatch byte matches at data[i], in configuration order.
    // data holds size bytes. Returns how many were written to out.
    size_t collect(const uint8_t* data, size_t i, size_t size, std::vector<uint32_t>& out) const {
        out.clear();
        for (const auto& g : groups_) {
            size_t k = i + g->pos;
            if (k >= size || !g->any[data[k]]) continue;
            const auto& ids = g->ids[data[k]];
            out.insert(out.end(), ids.begin(), ids.end());
        }
        if (out.size() > 1) std::sort(out.begin(), out.end());
        return out.size();
    }

    // Every byte with the vector test: what the reading thread found in the
    // pieces it read (it searches the last part of each), for the block at base.
    struct found_ahead {
        uint64_t base = 0;  // the position of data[0]
        std::array<const pair_hits*, 2> lists{};
        pair_filter::cursor cursor;  // the block's own: made anew with each block
    };

    const pair_filter& pairs() const { return pairs_; }

    // The first i in [from, to), stepping by step, where a header may start;
    // to when there is none. data holds size bytes.
    size_t next_candidate(const uint8_t* data, size_t from, size_t to, size_t step, size_t size,
                          found_ahead& ahead) const {
        if (groups_.empty()) return to;
        if (step != 1) {
            size_t i = from;
            if (!starts_.empty() && size >= start_filter::word_bytes) {
                const size_t filtered_to = std::min(to, size - start_filter::word_bytes + 1);
                while ((i = starts_.next(data, i, filtered_to, step)) < filtered_to) {
                    if (maybe(data, i, size)) return i;
                    i += step;
                }
            }
            // The last starts, too near the end of the data for the filter.
            for (; i < to; i += step)
                if (maybe(data, i, size)) return i;
            return to;
        }
        // Every byte: each byte pair is looked up once in the union of all
        // groups' pairs; a hit at j may start a header at j minus a group's position.
        size_t best = to;
        const size_t pairs_end = size > 0 ? size - 1 : 0;  // j + 1 < size
        size_t j = from + min_pos_;
        const uint64_t* u = union_.data();
        auto hit = [u](const uint8_t* d) {
            unsigned x = unsigned(d[0]) << 8 | d[1];
            return (u[x >> 6] >> (x & 63)) & 1;
        };
        while (true) {
            const size_t limit = std::min(pairs_end, best + max_pos_);
            if (pairs_.vector()) {
                j = next_pair(data, j, limit, ahead);
            } else {
                // Four positions per step while none of them is a hit.
                while (j + 4 <= limit && !(hit(data + j) | hit(data + j + 1) | hit(data + j + 2) | hit(data + j + 3)))
                    j += 4;
                while (j < limit && !hit(data + j)) ++j;
            }
            if (j >= limit) break;
            const unsigned x = unsigned(data[j]) << 8 | data[j + 1];
            for (const auto& g : groups_) {
                if (j < g->pos) continue;
                size_t i = j - g->pos;
                if (i < from || i >= best) continue;
                if ((g->pairs[x >> 6] >> (x & 63)) & 1) best = i;
            }
            ++j;
        }
        if (j >= pairs_end) {
            // The last bytes, where a dispatch byte has no byte after it.
            size_t tail = pairs_end > max_pos_ ? pairs_end - max_pos_ : 0;
            for (size_t i = std::max(from, tail); i < best; ++i)
                if (maybe(data, i, size)) return i;
        }
        return best;
    }

    // pairs_.next(data, j, limit), taken from the reading thread's finds where
    // they cover the positions.
    size_t next_pair(const uint8_t* data, size_t j, size_t limit, found_ahead& ahead) const {
        while (j < limit) {
            const uint64_t at = ahead.base + j;
            size_t stop = limit;  // searched here up to the next range found ahead
            bool covered = false;
            for (const pair_hits* list : ahead.lists) {
                if (!list || list->to <= list->from) continue;
                if (at >= list->from && at < list->to) {
                    const uint64_t end = std::min<uint64_t>(list->to, ahead.base + limit);
                    auto it = std::lower_bound(list->at.begin(), list->at.end(), uint32_t(at - list->from));
                    if (it != list->at.end() && list->from + *it < end) return size_t(list->from + *it - ahead.base);
                    j = size_t(end - ahead.base);
                    covered = true;
                    break;
                }
                if (list->from > at && list->from < ahead.base + stop) stop = size_t(list->from - ahead.base);
            }
            if (covered) continue;
            j = pairs_.next(data, j, stop, &ahead.cursor);
            if (j < stop) return j;
        }
        return limit;
    }

    // Quick test: can any header start at data[i]?
    bool maybe(const uint8_t* data, size_t i, size_t size) const {
        for (const auto& g : groups_) {
            size_t k = i + g->pos;
            if (k + 1 < size) {
                unsigned pair = unsigned(data[k]) << 8 | data[k + 1];
                if (g->pairs[pair >> 6] >> (pair & 63) & 1) return true;
            } else if (k < size && g->any[data[k]]) {
                return true;
            }
        }
        return false;
    }

private:
    struct group {
        size_t pos = 0;
        std::array<std::vector<uint32_t>, 256> ids;
        std::array<uint8_t, 256> any;
        std::array<uint64_t, 1024> pairs;  // 65536 bits: (dispatch byte, next byte) seen in a header
    };
    std::vector<std::unique_ptr<group>> groups_;
    std::array<uint64_t, 1024> union_;
    std::vector<candidate> candidates_;
    size_t lookahead_ = 0;
    size_t min_pos_ = 0;
    size_t max_pos_ = 0;
    start_filter starts_;
    pair_filter pairs_;  // union_ again, with the vector test; without it where that does not run
};

void set_scanned(scan_gate* gate, double value) {
    if (gate) gate->scanned(value);
}

using join_fn = std::optional<joined_file> (*)(carve_input&, uint64_t, uint64_t, const join_limits&);

// What puts files of this rule found in two pieces back together; null where nothing does.
join_fn joiner_for(size_rule rule) {
    switch (rule) {
    case size_rule::png: return join_png;
    case size_rule::jpeg: return join_jpeg;
    case size_rule::zip: return join_zip;
    case size_rule::mp3: return join_mp3;
    case size_rule::isobmff: return join_mp4;
    case size_rule::mpegts: return join_ts;
    default: return nullptr;
    }
}

}  // namespace

scan_end scan_device(device_handle& device, const signature_config& config,
                     const scan_options& options, scan_gate* gate, const found_fn& found) {
    const uint64_t length = device.length();
    const uint64_t step = options.every_byte ? 1 : sector_size;
    const size_t block = std::max<size_t>(options.block_size / sector_size * sector_size, sector_size);
    dispatcher dispatch(config, options.every_byte && options.vector_pairs);
    const size_t read_size = block + dispatch.lookahead();
    std::vector<uint32_t> ids;
    // Every byte: the pair table searched with the vector test where the
    // processor has it; else all headers at once where Vectorscan is at hand.
    std::vector<const byte_pattern*> headers;
    if (options.every_byte && options.multi_pattern && !dispatch.vector_pairs())
        for (const file_type& t : config.types)
            for (const byte_pattern& h : t.headers) headers.push_back(&h);
    header_search search(headers);
    std::vector<header_search::hit> hits;
    // What the reading thread found, by the number of the piece it read: one
    // being written, the two before it read by the scanner. Declared before
    // the reader, so that they outlive its thread.
    std::array<pair_hits, 3> ahead_hits;
    // The one reader: blocks, the rules' reads and what lies inside found files
    // come through it, so each byte is read from the device once.
    carve_input input(device, gate, options.bad, block);
    // Searching every byte costs about as much as reading: the next block is
    // read while this one is searched. At sector starts the search is a small
    // part of the time: each block is read by two threads at once instead.
    if (step == 1 && dispatch.vector_pairs()) {
        // The reading thread also searches the last quarter of each piece
        // while it holds it in its cache (reading is about half the search's
        // work, so the two threads come out about even); the scanner searches the rest.
        input.enable_read_ahead([&](uint64_t number, uint64_t offset, const uint8_t* piece, size_t size) {
            pair_hits& found_here = ahead_hits[number % ahead_hits.size()];
            const size_t part = size < 3 ? 0 : std::min<size_t>({size - 2, size / 4, 0xFFFFFFFFu});
            const size_t first = size < 3 ? 0 : size - 2 - part;
            found_here.from = offset + first;
            found_here.to = found_here.from + part;
            dispatch.pairs().find_all(piece + first, part, found_here.at);
        });
    } else if (step == 1) {
        input.enable_read_ahead();
    } else if (options.split_reads) {
        input.enable_split_reads();
    }
    uint64_t pos = std::min(options.start.position / sector_size * sector_size, length);
    set_scanned(gate, length ? double(pos) / double(length) : 0.0);
    // Every block is read, so every unreadable sector is met and counted; no
    // file is looked for before skip_until, which lies inside or at the end of
    // the last file found (what lies inside a file is part of it).
    uint64_t skip_until = std::max(pos, options.start.search_from);
    uint64_t reported_end = options.start.reported_end;  // end of the last reported file

    while (pos < length) {
        if (options.at_block) options.at_block({pos, std::max(pos, skip_until), reported_end});
        if (!scan_checkpoint(gate)) return scan_end::stopped;
        const uint64_t block_end = std::min<uint64_t>(pos + block, length);
        if (block_end <= skip_until) {
            // Inside a found file: nothing is looked for; what the rules have
            // not read already is read once, for its unreadable sectors.
            if (!input.pass_over(pos, block_end)) return scan_end::vanished;
            pos = block_end;
            set_scanned(gate, std::min(1.0, double(pos) / double(length)));
            continue;
        }
        // A block the device gives as zeros unread (space left out of this
        // scan) holds no file start: it is passed by without a read. A file
        // that runs into it is measured as before, over its zeros.
        if (const uint64_t zeros_end = device.unread_zeros_end(pos); zeros_end >= block_end) {
            pos = std::max(block_end, std::min(zeros_end, length) / sector_size * sector_size);
            set_scanned(gate, std::min(1.0, double(pos) / double(length)));
            continue;
        }
        const byte_view view = input.load_block(pos, read_size);
        if (input.vanished()) return scan_end::vanished;
        if (view.empty()) break;
        const size_t filled = view.size();
        const uint8_t* data = view.data();
        const uint64_t scan_end_at = std::min<uint64_t>(block_end, pos + filled);
        const size_t end_i = size_t(scan_end_at - pos);
        // A file whose structure broke at c (PNG, JPEG, ZIP, MP4, MP3, MPEG-TS): joined with its
        // continuation when one checks whole; the scan goes on after the first piece, as
        // the data in the gap are other files.
        const uint64_t join_cluster = options.cluster >= sector_size ? options.cluster : default_join_cluster;
        // The file's first byte lies at a cluster start: the clusters count from it.
        auto limits_at = [&](uint64_t c) {
            return join_limits{join_cluster, c, std::max<uint64_t>(1, options.join_reach / join_cluster)};
        };
        auto try_join = [&](uint64_t c, uint64_t limit, const file_type& type) {
            if (c < reported_end) return false;
            const join_limits limits = limits_at(c);
            const auto joined = joiner_for(type.rule)(input, c, limit, limits);
            if (!joined || input.vanished() || input.stopped()) return false;
            if (joined->first.offset != c || joined->first.size == 0 || joined->second.size == 0 ||
                joined->first.size + joined->second.size > limit)
                return false;
            const std::string name = joined->type.empty() ? type.name : std::string(joined->type);
            options.joined(name.c_str(), joined->first.offset, joined->first.size, joined->second.offset,
                           joined->second.size);
            reported_end = c + joined->first.size;
            uint64_t after = reported_end;
            if (step > 1) after = (after + step - 1) / step * step;
            skip_until = after;
            return true;
        };
        // Tries header `id` at data[i]; true when a file was reported there.
        auto try_header = [&](size_t i, uint32_t id) {
            const uint64_t c = pos + i;
            const auto& cand = dispatch.at(id);
            const file_type& type = config.types[cand.type];
            const byte_pattern& header = type.headers[cand.header];
            if (i + header.size() > filled || !header.matches(data + i)) return false;
            const uint64_t limit = std::min(type.max_size, length - c);
            auto result = rule_for(type.rule)(input, c, limit, type);
            if (input.vanished() || input.stopped()) return false;
            const bool joinable = options.joined && joiner_for(type.rule);
            if ((!result || result->size == 0) && joinable) return try_join(c, limit, type);
            if (!result || result->size == 0) return false;
            // A JPEG's entropy-coded data may run on over zeros into its own
            // second piece, or end at another photo's EOI: where its restart
            // markers or a cluster of one byte value show it, joined when its
            // codes break and a continuation decodes.
            if (type.rule == size_rule::jpeg && joinable && result->lead == 0 &&
                jpeg_shows_break(input, c, result->size, limits_at(c)) && try_join(c, limit, type))
                return true;
            // An MP3 whose frames stop short of the length its Xing or Info header gives.
            if (type.rule == size_rule::mp3 && joinable && result->lead == 0 &&
                mp3_shows_break(input, c, result->size) && try_join(c, limit, type))
                return true;
            // A transport stream whose packets stop following on at a cluster
            // boundary: joined when a continuation carries on and its video decodes.
            if (type.rule == size_rule::mpegts && joinable && result->lead == 0 &&
                ts_shows_break(input, c, result->size, limits_at(c)) && try_join(c, limit, type))
                return true;
            // A video with its movie box at the front measures whole over the
            // gap: joined when its media stop checking and a continuation checks.
            if (type.rule == size_rule::isobmff && joinable && result->lead == 0 &&
                mp4_shows_break(input, c, result->size, limits_at(c)) && try_join(c, limit, type))
                return true;
            // A file may begin before its candidate (lead bytes), never before
            // the end of the file reported last, and never past the type's maximum.
            const uint64_t lead = result->lead;
            if (lead > c || c - lead < reported_end || result->size <= lead || result->size - lead > limit ||
                result->size > type.max_size)
                return false;
            const uint64_t first = c - lead;
            const std::string name = result->type.empty() ? type.name : std::string(result->type);
            if (found) found(name.c_str(), first, result->size);
            reported_end = first + result->size;
            // Go on after the file: what lies inside it is part of it.
            uint64_t after = reported_end;
            if (step > 1) after = (after + step - 1) / step * step;
            skip_until = after;
            return true;
        };
        const size_t from_i = size_t(std::max(pos, skip_until) - pos);
        if (step == 1 && search.ready() && from_i < end_i &&
            search.find_all(data + from_i, filled - from_i, end_i - from_i, hits)) {
            // Every byte: the headers that match, found in one pass over the block.
            for (const auto& hit : hits) {
                const size_t i = from_i + hit.start;
                if (pos + i < skip_until) continue;  // inside the file just found
                try_header(i, hit.id);
                if (input.vanished()) return scan_end::vanished;
                if (input.stopped()) return scan_end::stopped;
            }
        } else {
            // The finished pieces' finds; the piece in flight, if any, is left alone.
            dispatcher::found_ahead ahead{pos, {}, {}};
            const uint64_t finished = input.pieces_finished();
            for (uint64_t k = 1; k <= 2 && k <= finished; ++k)
                ahead.lists[k - 1] = &ahead_hits[(finished - k) % ahead_hits.size()];
            for (uint64_t c = pos + from_i; c < scan_end_at; c += step) {
                size_t i = dispatch.next_candidate(data, size_t(c - pos), end_i, size_t(step), filled, ahead);
                if (i >= end_i) break;
                c = pos + i;
                dispatch.collect(data, i, filled, ids);
                for (uint32_t id : ids) {
                    const bool reported = try_header(i, id);
                    if (input.vanished()) return scan_end::vanished;
                    if (input.stopped()) return scan_end::stopped;
                    if (reported) {
                        c = skip_until - step;  // the loop adds step; past this block it ends
                        break;
                    }
                }
            }
        }
        pos = scan_end_at;
        set_scanned(gate, std::min(1.0, double(pos) / double(length)));
    }
    if (options.at_block) options.at_block({length, std::max(length, skip_until), reported_end});
    set_scanned(gate, 1.0);
    return scan_end::finished;
}

}  // namespace qv::sig
