// Decodes with libavcodec, one thread, the loop filter skipped (it cannot
// fail, and costs a third of the time). The decoder reports damage two ways:
// messages at error level, counted here through a log callback that prints
// nothing, and error flags on the frames it hands out.

#include "sigscan/video_decode.hpp"

#ifdef QV_HAVE_LIBAVCODEC

#include <dlfcn.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace qv::sig {

namespace {

constexpr size_t max_config = 1 << 16;
constexpr size_t max_sample = size_t(32) << 20;
constexpr int64_t max_pixels = int64_t(1) << 26;  // past 8K

// The log callback is the whole process's; each thread counts its own decodes.
thread_local unsigned decode_errors = 0;

void count_errors(void*, int level, const char*, va_list) {
    if (level <= AV_LOG_ERROR) ++decode_errors;
}

// libavcodec and libavutil of the major versions this was built against,
// opened at the first decode rather than linked: they pull in some eighty
// libraries, which every start of the program would otherwise load (17 ms).
struct av_library {
    decltype(&::avcodec_find_decoder) find_decoder = nullptr;
    decltype(&::avcodec_alloc_context3) alloc_context = nullptr;
    decltype(&::avcodec_free_context) free_context = nullptr;
    decltype(&::avcodec_open2) open = nullptr;
    decltype(&::avcodec_send_packet) send_packet = nullptr;
    decltype(&::avcodec_receive_frame) receive_frame = nullptr;
    decltype(&::av_packet_alloc) packet_alloc = nullptr;
    decltype(&::av_packet_free) packet_free = nullptr;
    decltype(&::av_frame_alloc) frame_alloc = nullptr;
    decltype(&::av_frame_free) frame_free = nullptr;
    decltype(&::av_frame_unref) frame_unref = nullptr;
    decltype(&::av_mallocz) mallocz = nullptr;
    decltype(&::av_log_set_callback) log_set_callback = nullptr;
    bool loaded = false;
};

const av_library& av() {
    static const av_library library = [] {
        av_library l;
        void* codec = dlopen(("libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR)).c_str(), RTLD_NOW | RTLD_LOCAL);
        void* util = dlopen(("libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR)).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!codec || !util) return l;
        bool all = true;
        auto take = [&all](void* from, const char* name, auto& fn) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(from, name));
            all = all && fn != nullptr;
        };
        take(codec, "avcodec_find_decoder", l.find_decoder);
        take(codec, "avcodec_alloc_context3", l.alloc_context);
        take(codec, "avcodec_free_context", l.free_context);
        take(codec, "avcodec_open2", l.open);
        take(codec, "avcodec_send_packet", l.send_packet);
        take(codec, "avcodec_receive_frame", l.receive_frame);
        take(codec, "av_packet_alloc", l.packet_alloc);
        take(codec, "av_packet_free", l.packet_free);
        take(util, "av_frame_alloc", l.frame_alloc);
        take(util, "av_frame_free", l.frame_free);
        take(util, "av_frame_unref", l.frame_unref);
        take(util, "av_mallocz", l.mallocz);
        take(util, "av_log_set_callback", l.log_set_callback);
        if (!all) return l;
        l.log_set_callback(count_errors);
        l.loaded = true;
        return l;
    }();
    return library;
}

struct context_free {
    void operator()(AVCodecContext* c) const { av().free_context(&c); }
};
struct packet_free {
    void operator()(AVPacket* p) const { av().packet_free(&p); }
};
struct frame_free {
    void operator()(AVFrame* f) const { av().frame_free(&f); }
};

// Decodes count units in order; config (may be null: parameter sets in the stream) as the decoder's extradata.
// strict: slices must end exactly where their data do (a frame whose tail
// came from elsewhere decodes otherwise, with damage no error reports).
bool decode_run(video_coding coding, const std::vector<uint8_t>* config, bool strict, size_t count,
                const std::function<bool(size_t, std::vector<uint8_t>&)>& sample,
                const std::function<bool()>& keep_going) {
    const av_library& lib = av();
    if (!lib.loaded) return true;  // nothing to tell
    const AVCodec* codec = lib.find_decoder(coding == video_coding::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (!codec) return true;  // a libavcodec built without it: nothing to tell
    std::unique_ptr<AVCodecContext, context_free> ctx(lib.alloc_context(codec));
    std::unique_ptr<AVPacket, packet_free> packet(lib.packet_alloc());
    std::unique_ptr<AVFrame, frame_free> frame(lib.frame_alloc());
    if (!ctx || !packet || !frame) return false;
    if (config) {
        ctx->extradata = static_cast<uint8_t*>(lib.mallocz(config->size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!ctx->extradata) return false;
        std::memcpy(ctx->extradata, config->data(), config->size());
        ctx->extradata_size = int(config->size());
    }
    ctx->thread_count = 1;
    ctx->max_pixels = max_pixels;
    ctx->skip_loop_filter = AVDISCARD_ALL;
    if (strict) ctx->err_recognition = AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_AGGRESSIVE;
    const unsigned errors_before = decode_errors;
    if (lib.open(ctx.get(), codec, nullptr) < 0) return false;

    bool clean = true;
    auto drain = [&] {
        for (;;) {
            const int got = lib.receive_frame(ctx.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
            if (got < 0) return false;
            const bool whole = frame->decode_error_flags == 0 && !(frame->flags & AV_FRAME_FLAG_CORRUPT);
            lib.frame_unref(frame.get());
            if (!whole) return false;
        }
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; clean && i < count; ++i) {
        if (keep_going && !keep_going()) return false;
        bytes.clear();
        if (!sample(i, bytes) || bytes.empty() || bytes.size() > max_sample) return false;
        bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet->data = bytes.data();
        packet->size = int(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE);
        packet->pts = packet->dts = int64_t(i);
        const int sent = lib.send_packet(ctx.get(), packet.get());
        packet->data = nullptr;
        packet->size = 0;
        clean = sent >= 0 && drain() && decode_errors == errors_before;
    }
    if (clean) clean = lib.send_packet(ctx.get(), nullptr) >= 0 && drain();
    return clean && decode_errors == errors_before;
}

}  // namespace

bool video_decoding_available() { return av().loaded; }

bool video_samples_decode(video_coding coding, const std::vector<uint8_t>& config, size_t count,
                          const std::function<bool(size_t, std::vector<uint8_t>&)>& sample,
                          const std::function<bool()>& keep_going) {
    if (config.empty() || config.size() > max_config) return false;
    return decode_run(coding, &config, false, count, sample, keep_going);
}

bool video_units_decode(video_coding coding, size_t count,
                        const std::function<bool(size_t, std::vector<uint8_t>&)>& unit,
                        const std::function<bool()>& keep_going) {
    return decode_run(coding, nullptr, true, count, unit, keep_going);
}

}  // namespace qv::sig

#else

namespace qv::sig {

bool video_decoding_available() { return false; }

bool video_samples_decode(video_coding, const std::vector<uint8_t>&, size_t,
                          const std::function<bool(size_t, std::vector<uint8_t>&)>&, const std::function<bool()>&) {
    return true;
}

bool video_units_decode(video_coding, size_t, const std::function<bool(size_t, std::vector<uint8_t>&)>&,
                        const std::function<bool()>&) {
    return true;
}

}  // namespace qv::sig

#endif
