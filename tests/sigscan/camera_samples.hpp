#pragma once
// Sample files of the types cameras, phones and other programs write, for the
// deep-scan tests: camera RAW files, fonts, MIDI, AMR and DjVu written in code
// from their documented layouts, the rest made by real tools (ffmpeg,
// ImageMagick, exiftool, genisoimage, qemu-img, zip, fontTools).

#include <cstdint>
#include <string>
#include <vector>

#include "tests/sigscan/sample_files.hpp"

namespace qv::test {

// The capture time the samples that carry one were given.
inline constexpr int64_t sample_taken = 1626255015;  // 2021-07-14 09:30:15 UTC
inline constexpr const char* sample_taken_exif = "2021:07:14 09:30:15";

// A TIFF-structured camera RAW file of kind "dng", "cr2", "nef", "arw",
// "pef", "orf" or "rw2", with a JPEG preview, raw strips, a maker note and an
// EXIF DateTimeOriginal of sample_taken.
bytes make_tiff_raw(const std::string& kind, uint32_t seed);
// A Canon CR3: ISO base media with Canon's metadata box (EXIF DateTimeOriginal
// of sample_taken in its CMT2 TIFF structure) and no movie creation time.
bytes make_cr3(uint32_t seed);
// A Fujifilm RAF: header, preview JPEG, metadata container, sensor data.
bytes make_raf(uint32_t seed);
bytes make_ttf(uint32_t seed);
bytes make_midi(uint32_t seed);
bytes make_amr(uint32_t seed);
bytes make_djvu(uint32_t seed);

struct dated_sample {
    sample file;
    int64_t taken = 0;  // 0: carries no capture time
};

// Every new-type sample that can be made here (tool-made ones are left out,
// with a note on standard error, when their tool is missing).
std::vector<dated_sample> camera_samples(const std::string& work_dir);

// Lays files out at sector starts or at any byte, with random, zero and text
// filler between them in turn.
laid_image lay_out_mixed(const std::vector<sample>& samples, uint32_t seed, bool sector_aligned);

}  // namespace qv::test
