#pragma once
// Whether a run of H.264 or HEVC samples, as an MP4 file stores them, decodes cleanly.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qv::sig {

enum class video_coding { h264, hevc };

// True when this build decodes video; without it every run counts as clean.
bool video_decoding_available();

// Decodes samples 0 to count - 1 in order, the first a sync sample, with the
// decoder set up from the track's avcC or hvcC box body (config). sample(i,
// bytes) fills in sample i's bytes (length-prefixed NAL units, as stored) and
// says false when it cannot. keep_going (may be empty) is asked before each
// sample. True when every sample reads and every frame decodes with no error
// from the decoder and no concealed damage.
bool video_samples_decode(video_coding coding, const std::vector<uint8_t>& config, size_t count,
                          const std::function<bool(size_t, std::vector<uint8_t>&)>& sample,
                          const std::function<bool()>& keep_going = {});

// The same for frames as a transport stream carries them (Annex B: start
// codes, the parameter sets in the stream), the first a key frame; here each
// slice must also end exactly where its data do.
bool video_units_decode(video_coding coding, size_t count,
                        const std::function<bool(size_t, std::vector<uint8_t>&)>& unit,
                        const std::function<bool()>& keep_going = {});

}  // namespace qv::sig
