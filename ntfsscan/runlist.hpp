#pragma once
// Decodes NTFS mapping pairs (runlists) into checked cluster runs.

#include <cstdint>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv::ntfs {

struct cluster_run {
    uint64_t vcn = 0;     // first cluster of the run within the stream
    uint64_t lcn = 0;     // first cluster on the volume; unused when sparse
    uint64_t length = 0;  // clusters, never 0
    bool sparse = false;
};

// Upper bound on the clusters of one stream the reader will follow (keeps
// VCN arithmetic far from overflow whatever the cluster size).
inline constexpr uint64_t max_stream_clusters = uint64_t(1) << 40;
// Upper bound on the runs of one stream.
inline constexpr size_t max_stream_runs = 1u << 20;

// Appends the runs of one attribute segment, whose first VCN is first_vcn, to out.
// False when the list is corrupt: a zero-length run, a field wider than 8
// bytes, a run outside the volume's cluster_count clusters, a negative LCN,
// more than max_stream_runs runs or a stream beyond max_stream_clusters.
// Returns the VCN after the last run in *end_vcn.
bool decode_runlist(byte_view pairs, uint64_t first_vcn, uint64_t cluster_count,
                    std::vector<cluster_run>& out, uint64_t* end_vcn);

}  // namespace qv::ntfs
