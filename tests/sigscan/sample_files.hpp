#pragma once
// Real files of each type the deep scan knows, for carving tests: written in
// code for formats no installed tool makes, by real tools for the rest.

#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

using bytes = std::vector<uint8_t>;

struct sample {
    std::string label;     // for messages: "jpg with thumbnail"
    std::string type;      // the type the scan must report
    bytes data;
};

// Formats written in code.
bytes make_pdf(uint32_t seed, bool incremental_update);
bytes make_wav(uint32_t seed);
bytes make_avi(uint32_t seed);
bytes make_iso_media(const char* brand, uint32_t seed);  // "isom", "M4A ", "qt  "
bytes make_flac(uint32_t seed);
bytes make_ogg(uint32_t seed);
bytes make_ole(const char* stream_name, uint32_t seed);  // "WordDocument", "Workbook"
bytes make_rtf();
bytes make_html();
bytes make_xml();
bytes make_pe(uint32_t seed);
bytes make_rar4(uint32_t seed);
bytes make_rar5(uint32_t seed);
bytes make_7z(uint32_t seed);
bytes make_mp3(bool id3, uint32_t seed);
// A JPEG whose APP1 (Exif) segment carries another whole JPEG as its thumbnail.
bytes jpeg_with_thumbnail(const bytes& jpeg, const bytes& thumbnail);

// Formats made by tools; each returns empty when its tool is missing.
// work_dir is a scratch folder.
bytes make_with_convert(const std::string& work_dir, const std::string& ext, int size, int seed);
bytes make_zip_tool(const std::string& work_dir, bool store_only, const bytes& member);
bytes make_office_zip(const std::string& work_dir, const std::string& kind);  // docx xlsx odt
bytes make_compressed(const std::string& work_dir, const std::string& tool, uint32_t seed);  // gzip bzip2 xz
bytes make_sqlite(const std::string& work_dir);
bytes make_7z_tool(const std::string& work_dir, uint32_t seed);
bytes small_elf();
// Audio from real encoders: kind "flac", "ogg" (FLAC in Ogg) or "mp3" (lame).
bytes make_audio_tool(const std::string& work_dir, const std::string& kind);

// Every sample that can be made here, each type at least once.
std::vector<sample> all_samples(const std::string& work_dir);

// Files laid into an image at sector starts (or at any byte), random filler
// everywhere else.
struct placed {
    std::string label;
    std::string type;
    uint64_t offset;
    bytes data;
};
struct laid_image {
    bytes image;
    std::vector<placed> files;  // in offset order
};
laid_image lay_out(const std::vector<sample>& samples, uint32_t seed, bool sector_aligned);

}  // namespace qv::test
