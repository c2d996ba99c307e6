#include "engine/deep_core.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "devices/device_handle.hpp"
#include "engine/destination_failure.hpp"
#include "engine/volume_cluster.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scanner.hpp"

namespace qv {

namespace {

// Hands the scanner's pause, stop and progress to the core's hooks.
class hooks_gate final : public sig::scan_gate {
public:
    explicit hooks_gate(const scan_hooks& hooks) : hooks_(hooks) {}
    bool keep_going() override { return hooks_.keep_going(); }
    void scanned(double fraction) override {
        if (hooks_.token) hooks_.token->progress.store(fraction, std::memory_order_relaxed);
        if (hooks_.progress)
            hooks_.progress(fraction, 0, hooks_.token ? hooks_.token->items.load(std::memory_order_relaxed) : 0);
    }

private:
    const scan_hooks& hooks_;
};

found_item carved_item(const raw_item_s& r, const std::string& type, const sig::file_facts& facts = {},
                       const item_piece* second = nullptr) {
    found_item f;
    f.id = r.index;
    f.name = carved_name(r);
    f.size = r.size;
    f.modified = facts.taken;  // the capture time, when the file records one
    f.deleted = true;
    f.type = type;
    f.offset = r.offset;
    f.state = facts.state == sig::content_state::intact    ? item_state::intact
              : facts.state == sig::content_state::damaged ? item_state::damaged
                                                           : item_state::unknown;
    if (second) {
        // Both pieces' chunks checked when they were joined: the content check
        // of the first piece alone says nothing of the whole.
        f.pieces = {{r.offset, r.size}, *second};
        f.size = r.size + second->size;
        f.state = item_state::assembled;
    }
    return f;
}

}  // namespace

deep_scan_result deep_core::scan(device_handle& device, const scan_hooks& hooks, deep_scan_extras* extras) const {
    deep_scan_result result;
    // The caller's file types; the built-in ones when it has none.
    std::shared_ptr<const sig::signature_config> config = hooks.file_types;
    if (!config) config = std::shared_ptr<const sig::signature_config>(&sig::default_config(), [](auto*) {});
    sig::scan_options options;
    options.every_byte = every_byte_;
    // Files broken in two are looked for in steps of the volume's clusters,
    // where its file system says how large they are.
    options.cluster = cluster_ ? cluster_ : volume_cluster_size(device);
    hooks_gate gate(hooks);
    // Found files are examined on worker threads while the scan reads on.
    sig::found_file_examiner examiner(device, sig::examiner_threads());
    if (extras) {
        result.records = std::move(extras->records);
        result.joins = std::move(extras->joins);
        for (const raw_item_s& r : result.records) {
            result.type_index[record_type(r)].push_back(r.index);
            examiner.add({r.offset, r.size, record_type(r)});
        }
        options.start = extras->start;
        options.bad = extras->bad;
        if (extras->at_block)
            options.at_block = [&](const sig::scan_place& place) { extras->at_block(place, result.records, result.joins); };
    }
    auto found = [&](const char* type, uint64_t offset, uint64_t size, const item_piece* second = nullptr) {
        raw_item_s item;
        item.index = result.records.size();
        item.offset = offset;
        item.size = size;
        // The first 8 bytes, zero-filled; no terminator when the name has 8 or more.
        std::memcpy(item.type, type, std::min(std::strlen(type), sizeof item.type));
        result.records.push_back(item);
        result.type_index[type].push_back(item.index);
        examiner.add({offset, size, type});
        if (hooks.token) hooks.token->items++;
        if (second) result.joins.emplace(item.index, *second);
        if (hooks.found) hooks.found(carved_item(item, type, {}, second));
    };
    // A file in two pieces is kept as its first piece's record plus the second piece.
    options.joined = [&](const char* type, uint64_t first_offset, uint64_t first_size, uint64_t second_offset,
                         uint64_t second_size) {
        const item_piece second{second_offset, second_size};
        found(type, first_offset, first_size, &second);
    };
    const sig::scan_end end = sig::scan_device(device, *config, options, &gate,
                                               [&](const char* type, uint64_t offset, uint64_t size) {
                                                   found(type, offset, size);
                                               });
    result.finished = end == sig::scan_end::finished;
    result.vanished = end == sig::scan_end::vanished;
    if (hooks.token && hooks.token->stop_requested()) examiner.cancel();
    result.facts = examiner.finish();
    result.facts.resize(result.records.size());
    return result;
}

std::vector<sig::file_facts> deep_core::examine(device_handle& device, const std::vector<raw_item_s>& records,
                                                const scan_token* token) {
    std::vector<sig::file_facts> facts(records.size());
    if (records.empty()) return facts;
    std::vector<sig::found_span> spans;
    spans.reserve(records.size());
    for (const raw_item_s& r : records) spans.push_back({r.offset, r.size, record_type(r)});
    facts = sig::examine_found_files(device, spans, sig::examiner_threads(),
                                     [token] { return token && token->stop_requested(); });
    facts.resize(records.size());
    return facts;
}

int deep_core::recover(device_handle& device, uint64_t offset, uint64_t size, const std::string& destination,
                       int64_t taken, uint64_t* unreadable) {
    return recover(device, std::vector<item_piece>{{offset, size}}, destination, taken, unreadable);
}

int deep_core::recover(device_handle& device, const found_item& item, const std::string& destination,
                       uint64_t* unreadable) {
    if (item.pieces.empty()) return recover(device, item.offset, item.size, destination, item.modified, unreadable);
    return recover(device, item.pieces, destination, item.modified, unreadable);
}

int deep_core::recover(device_handle& device, const std::vector<item_piece>& pieces, const std::string& destination,
                       int64_t taken, uint64_t* unreadable) {
    if (unreadable) *unreadable = 0;
    // The whole file must lie on the device, or the copy could only be partial.
    const uint64_t length = device.length();
    for (const item_piece& p : pieces)
        if (p.offset > length || p.size > length - p.offset) return -1;
    int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;  // callers create the file first and judge that themselves
    constexpr size_t piece = size_t(1) << 20;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[piece]);
    bad_ranges bad;
    bool read_ok = true;
    int write_error = 0;
    for (const item_piece& p : pieces) {
        const uint64_t offset = p.offset, size = p.size;
        uint64_t done = 0;
        while (done < size && read_ok && write_error == 0) {
            size_t want = size_t(std::min<uint64_t>(size - done, piece));
            size_t got = 0;
            // Bad sectors inside the file are written as zeros and counted.
            if (read_tolerant(device, offset + done, buffer.get(), want, &got, &bad) == read_outcome::vanished ||
                got != want) {
                read_ok = false;
                break;
            }
            for (size_t written = 0; written < want;) {
                ssize_t w = ::write(fd, buffer.get() + written, want - written);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    write_error = w < 0 ? errno : ENOSPC;
                    break;
                }
                written += size_t(w);
            }
            done += want;
        }
    }
    // The capture time becomes the copy's modified time.
    if (read_ok && write_error == 0 && taken != 0) {
        timespec times[2] = {{0, UTIME_OMIT}, {time_t(taken), 0}};
        ::futimens(fd, times);
    }
    if (::close(fd) != 0 && write_error == 0) write_error = errno;
    if (write_error != 0 || !read_ok) {
        ::unlink(destination.c_str());
        if (write_error == 0) return -1;
        errno = write_error;
        return recover_destination_failed;
    }
    if (unreadable) *unreadable = bad.total();
    return 0;
}

carved_type_map type_index_of(const std::vector<raw_item_s>& records) {
    carved_type_map index;
    for (const raw_item_s& r : records) index[record_type(r)].push_back(r.index);
    return index;
}

std::string carved_name(const raw_item_s& item) {
    char head[32];
    std::snprintf(head, sizeof head, "%08llu.", static_cast<unsigned long long>(item.index));
    return head + record_type(item);
}

std::vector<item_piece> record_pieces(const raw_item_s& record, const record_joins& joins) {
    std::vector<item_piece> pieces{{record.offset, record.size}};
    if (auto j = joins.find(record.index); j != joins.end()) pieces.push_back(j->second);
    return pieces;
}

std::vector<found_item> deep_found_items(const std::vector<raw_item_s>& records, const carved_type_map& types,
                                         const std::vector<sig::file_facts>& facts, const record_joins& joins) {
    std::vector<found_item> out;
    out.reserve(records.size());
    for (const auto& [type, list] : types)
        for (uint64_t i : list)
            if (i < records.size()) {
                auto j = joins.find(i);
                out.push_back(carved_item(records[i], type, i < facts.size() ? facts[i] : sig::file_facts{},
                                          j == joins.end() ? nullptr : &j->second));
            }
    return out;
}

}  // namespace qv
