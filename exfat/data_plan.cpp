#include "exfat/data_plan.hpp"

#include <algorithm>

namespace qv::exfat {

namespace {

uint64_t count_clusters(const std::vector<extent>& runs) {
    uint64_t n = 0;
    for (const extent& r : runs) n += r.count;
    return n;
}

bool any_in_use(const volume& vol, const std::vector<extent>& runs) {
    for (const extent& r : runs)
        for (uint32_t k = 0; k < r.count; ++k)
            if (vol.in_use(r.cluster + k)) return true;
    return false;
}

// The contiguous clusters [first, first + want), cut at the end of the heap.
std::vector<extent> contiguous(const geometry& g, uint32_t first, uint64_t want) {
    if (!g.valid_cluster(first) || want == 0) return {};
    const uint64_t room = uint64_t(g.cluster_count) - (first - 2);
    return {{first, uint32_t(std::min(want, room))}};
}

// A chain the FAT still holds for deleted data: exactly `want` clusters, all free.
bool old_chain_fits(volume& vol, uint32_t first, uint64_t want, std::vector<extent>& runs) {
    const uint32_t next = vol.fat_entry(first);
    if (want > 1 && !vol.layout().valid_cluster(next)) return false;
    if (want == 1 && next != 0xFFFFFFFFu) return false;
    runs = vol.fat_chain(first, want);
    if (count_clusters(runs) != want) return false;
    // The chain must end where the data ends.
    uint32_t last = runs.back().cluster + runs.back().count - 1;
    if (vol.fat_entry(last) != 0xFFFFFFFFu) return false;
    return !any_in_use(vol, runs);
}

}  // namespace

data_plan plan_data(volume& vol, const entry_set& set, bool deleted, uint64_t max_clusters) {
    const geometry& g = vol.layout();
    data_plan plan;
    const uint64_t want = std::min(set.cluster_span(g.cluster_size), max_clusters);
    if (want == 0) {
        plan.state = data_state::intact;
        return plan;
    }
    if (!g.valid_cluster(set.first_cluster)) {
        plan.missing = want;
        plan.state = data_state::overwritten;
        return plan;
    }

    if (!deleted) {
        plan.runs = set.no_fat_chain() ? contiguous(g, set.first_cluster, want)
                                       : vol.fat_chain(set.first_cluster, want);
        plan.state = data_state::intact;
    } else if (set.no_fat_chain()) {
        plan.runs = contiguous(g, set.first_cluster, want);
        plan.state = !vol.bitmap_known()          ? data_state::unknown
                     : any_in_use(vol, plan.runs) ? data_state::overwritten
                                                  : data_state::intact;
    } else if (vol.bitmap_known() && !vol.in_use(set.first_cluster) &&
               old_chain_fits(vol, set.first_cluster, want, plan.runs)) {
        plan.state = data_state::intact;
    } else {
        plan.runs.clear();
        plan.read_onward = true;
        bool skipped = false;
        const bool first_used = vol.in_use(set.first_cluster);
        uint64_t taken = 0;
        for (uint64_t c = set.first_cluster; taken < want && g.valid_cluster(c); ++c) {
            if (vol.in_use(uint32_t(c))) {
                skipped = true;
                continue;
            }
            append_cluster(plan.runs, uint32_t(c));
            ++taken;
        }
        plan.state = !vol.bitmap_known() ? data_state::unknown
                     : first_used        ? data_state::overwritten
                     : skipped           ? data_state::assembled
                                         : data_state::intact;
    }
    plan.clusters = count_clusters(plan.runs);
    plan.missing = want - std::min(want, plan.clusters);
    if (plan.missing > 0) plan.state = data_state::overwritten;
    return plan;
}

}  // namespace qv::exfat
