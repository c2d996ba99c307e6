#pragma once
// One quick decode of a JPEG, shared by the content check of found photos and
// the test of a photo joined from two pieces.

#include <cstdint>
#include <functional>

struct jpeg_decompress_struct;

namespace qv::sig {

// Decodes at an eighth of the size, so every code is read (libjpeg stops with
// an error or warns on corrupt or missing data) while few pixels are made.
// attach_source gives the decoder its source (jpeg_mem_src, or a source of the
// caller's; a source may stop the decode with the decoder's error_exit).
// bytes: the data's length, which bounds the pixels a real picture may have.
// keep_going (may be empty) is asked before each line. True when the header
// reads, the picture is not larger than its bytes could code, and every line
// decodes with no error and no warning.
bool jpeg_decodes_cleanly(const std::function<void(jpeg_decompress_struct*)>& attach_source, uint64_t bytes,
                          const std::function<bool()>& keep_going = {});

}  // namespace qv::sig
