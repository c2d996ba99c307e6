#pragma once
// Names for found files from what they carry: a photo's capture time and
// camera, a song's artist and title, a document's title, a movie's date.

#include <cstdint>
#include <string>
#include <string_view>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"

namespace qv::sig {

// Bytes read from the start of a found file to name it; a name needs no more.
constexpr uint64_t content_name_head_bytes = 64 * 1024;

// A file-name stem (no extension) from the file's first bytes, or empty when
// they say nothing usable: "2024-05-01 13-45-12 Canon EOS R6" for JPEG and
// TIFF with EXIF, "Artist - Title" for MP3 (ID3v2), the /Title of a PDF's
// document information, "2024-05-01 13-45-12" for MP4/MOV when the movie
// header lies in these bytes.
std::string content_name(byte_view head, std::string_view type);

// The same for a found file on a device, reading at most a bounded head and
// tail of it (ID3v1 at an MP3's end, a PDF's trailer, a movie's header), and
// for Office, OpenDocument and EPUB files the title in their metadata part.
std::string content_name(device_handle& device, uint64_t offset, uint64_t size, std::string_view type);

// True for the types content_name can name.
bool has_content_name(std::string_view type);

// Text made fit for a file name: '/', '\\', NUL and control characters become
// '_', broken UTF-8 becomes '_', runs of blanks one space, blanks trimmed, at
// most max_bytes bytes cut on a character boundary; empty when nothing but
// blanks and dots is left.
std::string name_stem_of(std::string_view text, size_t max_bytes = 120);

}  // namespace qv::sig
