#include "sigscan/rules/rules.hpp"

namespace qv::sig {

rule_fn rule_for(size_rule rule) {
    switch (rule) {
        case size_rule::jpeg: return measure_jpeg;
        case size_rule::png: return measure_png;
        case size_rule::gif: return measure_gif;
        case size_rule::bmp: return measure_bmp;
        case size_rule::tiff: return measure_tiff;
        case size_rule::pdf: return measure_pdf;
        case size_rule::zip: return measure_zip;
        case size_rule::sevenzip: return measure_7z;
        case size_rule::rar: return measure_rar;
        case size_rule::gzip: return measure_gzip;
        case size_rule::bzip2: return measure_bzip2;
        case size_rule::xz: return measure_xz;
        case size_rule::mp3: return measure_mp3;
        case size_rule::riff: return measure_riff;
        case size_rule::isobmff: return measure_isobmff;
        case size_rule::flac: return measure_flac;
        case size_rule::ogg: return measure_ogg;
        case size_rule::ole: return measure_ole;
        case size_rule::rtf: return measure_rtf;
        case size_rule::html: return measure_html;
        case size_rule::xml: return measure_xml;
        case size_rule::sqlite: return measure_sqlite;
        case size_rule::elf: return measure_elf;
        case size_rule::pe: return measure_pe;
        case size_rule::raf: return measure_raf;
        case size_rule::matroska: return measure_matroska;
        case size_rule::mpegts: return measure_mpegts;
        case size_rule::mpegps: return measure_mpegps;
        case size_rule::asf: return measure_asf;
        case size_rule::flv: return measure_flv;
        case size_rule::adts: return measure_adts;
        case size_rule::iff: return measure_iff;
        case size_rule::amr: return measure_amr;
        case size_rule::midi: return measure_midi;
        case size_rule::psd: return measure_psd;
        case size_rule::ico: return measure_ico;
        case size_rule::font: return measure_font;
        case size_rule::iso9660: return measure_iso9660;
        case size_rule::qcow2: return measure_qcow2;
        case size_rule::vdi: return measure_vdi;
        case size_rule::vmdk: return measure_vmdk;
        case size_rule::footer: return measure_footer;
        case size_rule::max: return measure_max;
    }
    return measure_max;
}

int byte_at(carve_input& in, uint64_t off) {
    byte_view v = in.view(off, 1);
    return v.size() == 1 ? v.data()[0] : -1;
}

std::optional<carve_result> sized(uint64_t size, uint64_t limit, std::string_view type) {
    if (size == 0 || size > limit) return std::nullopt;
    return carve_result{size, type};
}

uint64_t line_end_at(carve_input& in, uint64_t off, uint64_t end) {
    if (off >= end) return 0;
    int a = byte_at(in, off);
    if (a == '\n') return 1;
    if (a != '\r') return 0;
    return off + 1 < end && byte_at(in, off + 1) == '\n' ? 2 : 1;
}

std::optional<carve_result> measure_footer(carve_input& in, uint64_t start, uint64_t limit,
                                           const file_type& type) {
    if (!type.footer || type.headers.empty()) return std::nullopt;
    uint64_t from = start + type.headers.front().size();
    uint64_t at = in.find(*type.footer, from, start + limit);
    if (at == carve_input::npos) return std::nullopt;
    return sized(at + type.footer->size() - start, limit);
}

std::optional<carve_result> measure_max(carve_input&, uint64_t, uint64_t limit, const file_type& type) {
    return sized(std::min(limit, type.max_size), limit);
}

}  // namespace qv::sig
