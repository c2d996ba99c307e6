#include "sigscan/jpeg_decode.hpp"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <vector>

#include <jpeglib.h>  // needs size_t and FILE declared first

namespace qv::sig {
namespace {

// A JPEG codes at least one bit per 8x8 block and component: 512 pixels a byte
// at the very most.
constexpr uint64_t max_pixels_per_byte = 512;

struct decode_failure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void decode_fail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<decode_failure*>(info->err)->jump, 1);
}
// Level -1: a warning, which libjpeg gives for corrupt data and early ends.
// One is enough: the rest of a broken file is not decoded.
void decode_message(j_common_ptr info, int level) {
    if (level < 0) std::longjmp(reinterpret_cast<decode_failure*>(info->err)->jump, 1);
}
void decode_silent(j_common_ptr) {}

}  // namespace

bool jpeg_decodes_cleanly(const std::function<void(jpeg_decompress_struct*)>& attach_source, uint64_t bytes,
                          const std::function<bool()>& keep_going) {
    jpeg_decompress_struct info{};
    decode_failure failure;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = decode_fail;
    failure.manager.emit_message = decode_message;
    failure.manager.output_message = decode_silent;
    volatile bool clean = false;
    std::vector<uint8_t> row;
    if (setjmp(failure.jump) == 0) {
        jpeg_create_decompress(&info);
        attach_source(&info);
        // Far more pixels than the data could code: not a picture to decode.
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK &&
            uint64_t(info.image_width) * info.image_height <= max_pixels_per_byte * bytes) {
            info.scale_num = 1;
            info.scale_denom = 8;
            info.dct_method = JDCT_IFAST;
            info.do_fancy_upsampling = FALSE;
            info.do_block_smoothing = FALSE;
            if (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_GRAYSCALE)
                info.out_color_space = JCS_GRAYSCALE;
            jpeg_start_decompress(&info);
            row.resize(size_t(info.output_width) * size_t(info.output_components));
            JSAMPROW rows[1] = {row.data()};
            while (info.output_scanline < info.output_height) {
                if (keep_going && !keep_going()) std::longjmp(failure.jump, 1);
                jpeg_read_scanlines(&info, rows, 1);
            }
            jpeg_finish_decompress(&info);
            clean = true;
        }
    }
    jpeg_destroy_decompress(&info);
    return clean;
}

}  // namespace qv::sig
