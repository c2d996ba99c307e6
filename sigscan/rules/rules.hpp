#pragma once
// The built-in size rules: each measures a candidate file from its own structure
// and drops it when the structure does not hold.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sigscan/carve_input.hpp"
#include "sigscan/config.hpp"

namespace qv::sig {

struct carve_result {
    uint64_t size = 0;           // bytes from the candidate's start, 1 to limit
    std::string_view type = {};  // a refined type ("docx" inside zip); empty: the entry's name
    // Bytes of the file that lie before the candidate, for formats recognised
    // by a structure inside them (an ISO 9660 image by its volume descriptor).
    // size counts from the file's real start, lead bytes before the candidate.
    uint64_t lead = 0;
};

// start: the candidate's first byte; limit: the most bytes the file may have
// (its type's maximum, cut at the end of the device). Empty: not a file.
using rule_fn = std::optional<carve_result> (*)(carve_input& in, uint64_t start, uint64_t limit,
                                                const file_type& type);

rule_fn rule_for(size_rule rule);

// One function per format family.
std::optional<carve_result> measure_jpeg(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_png(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_gif(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_bmp(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_tiff(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_pdf(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_zip(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_7z(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_rar(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_gzip(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_bzip2(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_xz(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_mp3(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_riff(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_isobmff(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_flac(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_ogg(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_ole(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_rtf(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_html(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_xml(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_sqlite(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_elf(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_pe(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_raf(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_matroska(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_mpegts(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_mpegps(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_asf(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_flv(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_adts(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_iff(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_amr(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_midi(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_psd(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_ico(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_font(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_iso9660(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_qcow2(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_vdi(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_vmdk(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_footer(carve_input&, uint64_t, uint64_t, const file_type&);
std::optional<carve_result> measure_max(carve_input&, uint64_t, uint64_t, const file_type&);

// Shared helpers.
// The byte at off, or -1 past the end / on an error.
int byte_at(carve_input& in, uint64_t off);
// A result when 0 < size <= limit, else empty.
std::optional<carve_result> sized(uint64_t size, uint64_t limit, std::string_view type = {});
// Length of one line end ("\r\n", "\n" or "\r") at off, else 0.
uint64_t line_end_at(carve_input& in, uint64_t off, uint64_t end);
// ISO media: whether a box type (4 bytes) is one a file's top level holds.
bool iso_top_level(const uint8_t* type);
// The type an ISO media file's brands tell (mov, m4a, 3gp, heic...); empty for a plain MP4.
std::string_view iso_kind(const uint8_t* major, const std::vector<std::string>& compatible);

}  // namespace qv::sig
