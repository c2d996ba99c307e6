#include "exfat/exfat_walk.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "exfat/exfat_layout.hpp"

namespace qv::exfat {

namespace {

constexpr uint64_t extra_budget_bytes = uint64_t(16) << 20;
constexpr uint64_t stop_check_entries = 4096;

struct pending_folder {
    uint64_t id = 0;             // 0 = the root
    std::vector<extent> runs;
    bool deleted = false;
    int depth = 0;
};

// A deleted folder's clusters that are free now: clusters in use hold other data.
std::vector<extent> free_part(const volume& vol, const std::vector<extent>& runs) {
    std::vector<extent> out;
    for (const extent& r : runs)
        for (uint32_t k = 0; k < r.count; ++k)
            if (!vol.in_use(r.cluster + k)) append_cluster(out, r.cluster + k);
    return out;
}

uint64_t cluster_total(const std::vector<extent>& runs) {
    uint64_t n = 0;
    for (const extent& r : runs) n += r.count;
    return n;
}

// Entry types a folder's cluster may hold: unused, file sets live and
// deleted, and vendor secondaries.
bool folder_entry_type(uint8_t t) {
    switch (t) {
        case 0x00: case 0x05: case 0x40: case 0x41: case 0x60: case 0x61:
        case 0x85: case 0xC0: case 0xC1: case 0xE0: case 0xE1:
            return true;
        default:
            return false;
    }
}

// True when a cluster's bytes read as folder entries: only folder entry
// types, and at least one file entry followed by its stream entry.
bool looks_like_folder_cluster(byte_view c) {
    bool file_set = false;
    for (size_t at = 0; c.has(at, entry::size); at += entry::size) {
        const uint8_t t = c.u8(at);
        if (!folder_entry_type(t)) return false;
        if ((t & 0x7F) == 0x05 && c.has(at + entry::size, 1) && (c.u8(at + entry::size) & 0x7F) == 0x40)
            file_set = true;
    }
    return file_set;
}

constexpr uint64_t folder_search_window = 1024;  // clusters looked at for a folder's next cluster

// Where the data of the sets in a folder cluster ends: a folder written in
// one go took its next cluster after the data of its last files.
// The first clusters of the folders named there go to *folders.
uint64_t end_of_data(const geometry& g, byte_view cluster, std::unordered_set<uint32_t>* folders) {
    uint64_t end = 0;
    const size_t count = cluster.size() / entry::size;
    for (size_t i = 0; i < count; ++i) {
        entry_set set;
        if (!parse_entry_set(cluster, i, set) || !g.valid_cluster(set.first_cluster)) continue;
        if (set.directory()) folders->insert(set.first_cluster);
        end = std::max(end, uint64_t(set.first_cluster) + set.cluster_span(g.cluster_size));
    }
    return end;
}

// Clusters a deleted folder's search passes over: those other deleted folders
// took, and every folder's first cluster (met by the walk, named in the free
// space, or named below the folder itself).
struct cluster_sets {
    const std::unordered_set<uint32_t>* a;
    const std::unordered_set<uint32_t>* b;
    const std::unordered_set<uint32_t>* named;
    std::unordered_set<uint32_t> own;
    bool count(uint32_t c) const { return a->count(c) || b->count(c) || named->count(c) || own.count(c); }
};

constexpr size_t max_descendant_folders = 4096;

// Adds the first clusters of the folders below `firsts` (read from their
// first clusters while these are free) to *out: a deleted folder's search
// must not take a cluster that starts a folder further down its own tree.
void add_descendant_firsts(volume& vol, std::vector<uint32_t> firsts, std::unordered_set<uint32_t>* out,
                           uint64_t& budget) {
    const geometry& g = vol.layout();
    std::vector<uint8_t> bytes;
    size_t looked = 0;
    while (!firsts.empty() && looked < max_descendant_folders) {
        const uint32_t c = firsts.back();
        firsts.pop_back();
        ++looked;
        if (vol.in_use(c) || g.cluster_size > budget) continue;
        budget -= g.cluster_size;
        vol.read_extents({{c, 1}}, bytes, nullptr);
        std::unordered_set<uint32_t> below;
        end_of_data(g, byte_view(bytes.data(), bytes.size()), &below);
        for (uint32_t f : below)
            if (out->insert(f).second) firsts.push_back(f);
    }
}

// The next cluster at or after `from` (within the search window) that is free,
// not taken, and reads as folder entries; its bytes go to *found_bytes.
uint32_t next_folder_cluster(volume& vol, uint64_t from, const cluster_sets& taken, uint64_t& budget,
                             std::vector<uint8_t>& found_bytes) {
    const geometry& g = vol.layout();
    const uint64_t heap_end = uint64_t(g.cluster_count) + 2;
    const uint64_t end = std::min(heap_end, from + folder_search_window);
    const uint64_t batch = std::max<uint64_t>(1, (uint64_t(1) << 20) / g.cluster_size);
    std::vector<uint8_t> bytes;
    for (uint64_t c = from; c < end;) {
        // Clusters in use are skipped without reading them.
        if (vol.in_use(uint32_t(c)) || taken.count(uint32_t(c))) {
            ++c;
            continue;
        }
        const uint64_t n = std::min(batch, end - c);
        if (n * g.cluster_size > budget) return 0;
        budget -= n * g.cluster_size;
        vol.read_extents({{uint32_t(c), uint32_t(n)}}, bytes, nullptr);
        for (uint64_t k = 0; k < n; ++k) {
            const uint32_t cl = uint32_t(c + k);
            if (vol.in_use(cl) || taken.count(cl)) continue;
            byte_view view(bytes.data() + k * g.cluster_size, g.cluster_size);
            if (!looks_like_folder_cluster(view)) continue;
            found_bytes.assign(view.data(), view.data() + view.size());
            return cl;
        }
        c += n;
    }
    return 0;
}

// A deleted folder's clusters when its chain is gone (or its size was cut
// when its files went): `start` (its first cluster, or its contiguous
// clusters), then, one at a time, the first free cluster after the last one
// that reads as folder entries, or else the first after the data of the
// files the last cluster names (the folder grew after writing them). Clusters in `taken` (other folders') are passed over.
std::vector<extent> find_folder_clusters(volume& vol, std::vector<extent> runs, uint64_t max_clusters,
                                         const std::unordered_set<uint32_t>& claimed,
                                         const std::unordered_set<uint32_t>& folder_firsts,
                                         const std::unordered_set<uint32_t>& named_firsts, uint64_t& budget) {
    const geometry& g = vol.layout();
    if (runs.empty()) return runs;
    uint64_t count = cluster_total(runs);
    uint32_t last = runs.back().cluster + runs.back().count - 1;
    cluster_sets blocked{&claimed, &folder_firsts, &named_firsts, {}};
    // Subfolders named in the clusters held so far keep their own clusters,
    // and so do the folders below them.
    std::vector<uint8_t> bytes;
    vol.read_extents(runs, bytes, nullptr);
    end_of_data(g, byte_view(bytes.data(), bytes.size()), &blocked.own);
    add_descendant_firsts(vol, {blocked.own.begin(), blocked.own.end()}, &blocked.own, budget);
    for (const extent& r : runs)
        for (uint32_t k = 0; k < r.count; ++k) blocked.own.insert(r.cluster + k);
    bytes.erase(bytes.begin(), bytes.end() - g.cluster_size);
    while (count < max_clusters) {
        if (!looks_like_folder_cluster(byte_view(bytes.data(), bytes.size()))) break;
        const uint64_t after = uint64_t(last) + 1;
        std::unordered_set<uint32_t> subfolders;
        const uint64_t hint = std::max(after, end_of_data(g, byte_view(bytes.data(), bytes.size()), &subfolders));
        for (uint32_t f : subfolders) blocked.own.insert(f);
        add_descendant_firsts(vol, {subfolders.begin(), subfolders.end()}, &blocked.own, budget);
        uint32_t next = next_folder_cluster(vol, after, blocked, budget, bytes);
        if (next == 0 && hint > after + folder_search_window)
            next = next_folder_cluster(vol, hint, blocked, budget, bytes);
        if (next == 0) break;
        append_cluster(runs, next);
        blocked.own.insert(next);
        last = next;
        ++count;
    }
    return runs;
}


// Free clusters that read as folder entries (ascending), and the first
// clusters of the folders named there.
struct free_folders {
    std::vector<uint32_t> clusters;
    std::unordered_set<uint32_t> named_firsts;
};

constexpr uint64_t sweep_read_bytes = uint64_t(4) << 20;

// Reads the free clusters in large runs and keeps those that read as folder
// entries. Nothing when the bitmap is unknown (every cluster would count as free).
free_folders find_free_folders(volume& vol, const walk_hooks& hooks, uint64_t& budget) {
    free_folders out;
    if (!vol.bitmap_known()) return out;
    const geometry& g = vol.layout();
    const uint64_t heap_end = uint64_t(g.cluster_count) + 2;
    const uint64_t batch = std::max<uint64_t>(1, sweep_read_bytes / g.cluster_size);
    std::vector<uint8_t> bytes;
    for (uint64_t c = 2; c < heap_end;) {
        if (vol.in_use(uint32_t(c))) {
            ++c;
            continue;
        }
        uint64_t n = 1;
        while (n < batch && c + n < heap_end && !vol.in_use(uint32_t(c + n))) ++n;
        if (n * g.cluster_size > budget || (hooks.stop && hooks.stop())) break;
        budget -= n * g.cluster_size;
        vol.read_extents({{uint32_t(c), uint32_t(n)}}, bytes, nullptr);
        if (vol.gone()) break;
        for (uint64_t k = 0; k < n; ++k) {
            byte_view view(bytes.data() + k * g.cluster_size, g.cluster_size);
            if (!looks_like_folder_cluster(view)) continue;
            out.clusters.push_back(uint32_t(c + k));
            end_of_data(g, view, &out.named_firsts);
        }
        c += n;
    }
    return out;
}

}  // namespace

uint64_t entry_id(const geometry& g, const std::vector<extent>& runs, uint64_t index) {
    const uint64_t per_cluster = g.cluster_size / entry::size;
    uint64_t cluster_index = index / per_cluster;
    for (const extent& r : runs) {
        if (cluster_index < r.count)
            return (g.cluster_offset(uint32_t(r.cluster + cluster_index)) / entry::size) +
                   index % per_cluster;
        cluster_index -= r.count;
    }
    return 0;
}

walk_result walk(volume& vol, const walk_hooks& hooks) {
    const geometry& g = vol.layout();
    const uint64_t max_dir_clusters = std::max<uint64_t>(1, max_directory_bytes / g.cluster_size);
    uint64_t budget = 2 * g.heap_bytes() + extra_budget_bytes;
    walk_result result;

    std::vector<pending_folder> stack;
    stack.push_back({0, vol.fat_chain(g.root_cluster, max_dir_clusters), false, 0});
    std::unordered_set<uint32_t> walked_live{g.root_cluster};
    std::unordered_set<uint32_t> claimed;        // clusters read as deleted folders
    std::unordered_set<uint32_t> folder_firsts;  // first clusters of every folder met
    std::unordered_set<uint32_t> read_clusters;  // clusters read as folders so far
    double shown = 0;
    std::vector<uint8_t> content;

    // Free clusters that read as folder entries, wherever they lie, and the
    // first clusters of the folders their entries name.
    free_folders sweep = find_free_folders(vol, hooks, budget);
    if (vol.gone()) {
        result.vanished = true;
        return result;
    }

    // The folder for lost files is delivered before the first entry under it.
    bool lost_shown = false;
    auto deliver = [&](const found_entry& f) {
        if (!hooks.found) return;
        if (f.parent == lost_files_id && !lost_shown) {
            lost_shown = true;
            found_entry lost;
            lost.id = lost_files_id;
            lost.set.name = lost_files_name;
            lost.set.attributes = entry::attribute_directory;
            lost.state = data_state::intact;
            hooks.found(lost);
        }
        hooks.found(f);
    };

    // Reads the folders on the stack (and those they hold) until it is empty;
    // false when the walk must end (stop, device gone).
    auto drain = [&]() -> bool {
        while (!stack.empty()) {
            if (hooks.stop && hooks.stop()) {
                result.stopped = true;
                return false;
            }
            pending_folder folder = std::move(stack.back());
            stack.pop_back();
            // A cluster is read as a folder once: chains that merge or loop into
            // each other (a damaged FAT) give no entry twice.
            std::vector<extent> unread;
            for (const extent& r : folder.runs)
                for (uint32_t k = 0; k < r.count; ++k)
                    if (read_clusters.insert(r.cluster + k).second) append_cluster(unread, r.cluster + k);
            folder.runs = std::move(unread);
            const uint64_t bytes = cluster_total(folder.runs) * g.cluster_size;
            if (bytes > budget) {
                result.budget_exhausted = true;
                continue;
            }
            budget -= bytes;
            const uint64_t unreadable_before = result.unreadable;
            vol.read_extents(folder.runs, content, &result.unreadable);
            if (vol.gone()) {
                result.vanished = true;
                return false;
            }
            if (result.unreadable > unreadable_before && !folder.runs.empty())
                result.unreadable_folders.emplace_back(folder.runs.front().cluster,
                                                       result.unreadable - unreadable_before);
            ++result.folders;
            byte_view dir(content.data(), content.size());
            const size_t total = content.size() / entry::size;

            for (size_t i = 0; i < total;) {
                if (++result.entries % stop_check_entries == 0 && hooks.stop && hooks.stop()) {
                    result.stopped = true;
                    return false;
                }
                entry_set set;
                if (!parse_entry_set(dir, i, set) || !set.usable(g)) {
                    ++i;
                    continue;
                }
                result.entries += set.entries - 1;
                i += set.entries;
                found_entry f;
                f.id = entry_id(g, folder.runs, set.first_entry);
                f.parent = folder.id;
                f.deleted = set.deleted || folder.deleted;
                if (f.id == 0) continue;

                if (set.directory() && folder.depth + 1 < max_walk_depth) {
                    folder_firsts.insert(set.first_cluster);
                    data_plan plan = plan_data(vol, set, f.deleted, max_dir_clusters);
                    f.state = plan.state;
                    if (!f.deleted) {
                        if (walked_live.insert(set.first_cluster).second)
                            stack.push_back({f.id, std::move(plan.runs), false, folder.depth + 1});
                    } else if (!vol.in_use(set.first_cluster) && !claimed.count(set.first_cluster)) {
                        std::vector<extent> runs;
                        if (plan.read_onward)
                            runs = find_folder_clusters(vol, {{set.first_cluster, 1}}, max_dir_clusters, claimed,
                                                        folder_firsts, sweep.named_firsts, budget);
                        else if (set.no_fat_chain())
                            runs = find_folder_clusters(vol, free_part(vol, plan.runs), max_dir_clusters, claimed,
                                                        folder_firsts, sweep.named_firsts, budget);
                        else
                            runs = free_part(vol, plan.runs);
                        for (const extent& r : runs)
                            for (uint32_t k = 0; k < r.count; ++k) claimed.insert(r.cluster + k);
                        stack.push_back({f.id, std::move(runs), true, folder.depth + 1});
                    }
                } else if (f.deleted || set.directory()) {
                    f.state = plan_data(vol, set, f.deleted, UINT64_MAX).state;
                } else if (!hooks.live_files) {
                    continue;
                } else {
                    f.state = data_state::intact;
                }
                f.set = std::move(set);
                deliver(f);
            }
            if (hooks.progress) {
                const double p = double(result.folders) / double(result.folders + stack.size());
                if (p > shown) shown = p;
                hooks.progress(shown, result.entries, result.unreadable);
            }
        }
        return true;
    };

    if (!drain()) return result;

    // Folder clusters no folder reached: a deleted folder's later clusters
    // that lie too far away, or clusters of a folder whose entry is gone.
    // Their entries go under the folder for lost files. Clusters that start
    // a folder named elsewhere come last: their folder may still be reached.
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t c : sweep.clusters) {
            if (read_clusters.count(c) || claimed.count(c)) continue;
            if (pass == 0 && (sweep.named_firsts.count(c) || folder_firsts.count(c))) continue;
            claimed.insert(c);
            stack.push_back({lost_files_id, {{c, 1}}, true, 1});
            if (!drain()) return result;
        }
    }
    return result;
}

}  // namespace qv::exfat
