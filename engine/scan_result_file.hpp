#pragma once
// The saved deep-scan result (*.sav): a 256-byte header with the device path,
// then the found-file records, 32 bytes each, little-endian; files put
// together from two pieces add one 32-byte record of their second piece each
// after the others, counted in the header.

#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devices/volume_items.hpp"
#include "engine/found_item.hpp"

// One found file; the same 32 bytes are a record of the result file.
struct raw_item_s {
    uint64_t index = 0;   // position in the engine's records when it was found
    uint64_t offset = 0;  // byte offset of the file's first byte on the device
    uint64_t size = 0;    // bytes
    char type[8] = {};    // type name, zero-filled; not terminated when it has 8 bytes
};
static_assert(sizeof(raw_item_s) == 32);

namespace qv {

inline constexpr size_t scan_result_header_size = 256;
inline constexpr size_t scan_result_record_size = 32;
// More records than this (2 GiB of them) is not a file this program wrote.
inline constexpr uint64_t scan_result_max_records = uint64_t(1) << 26;

// Files put together from two pieces: by record index, the second piece (the
// record itself holds the first, so without this map it is the first piece alone).
using record_joins = std::map<uint64_t, item_piece>;

// Where the header counts the second pieces: a mark, then their number. Only
// a device path shorter than the mark's place leaves room for them.
inline constexpr size_t scan_result_pieces_mark_at = 240;
inline constexpr size_t scan_result_pieces_count_at = 248;
inline constexpr char scan_result_pieces_mark[8] = {'q', 'v', 'p', 'i', 'e', 'c', 'e', '2'};
// The type field of a second piece's record: never a type name (those are a-z 0-9 _ + -).
inline constexpr char scan_result_piece_type[8] = {'#', 'p', 'i', 'e', 'c', 'e', '2', '\0'};

// The number of second pieces a 256-byte header counts (0 without its mark).
uint64_t scan_result_pieces_in(const uint8_t* header);

struct scan_result {
    std::string device_path;
    std::vector<raw_item_s> records;
    record_joins joins;
};

// The type field of a record as text: up to its first NUL, at most 8 bytes.
std::string record_type(const raw_item_s& item);

// Writes the header and all records in one piece, atomically: a temporary
// file next to it, flushed, then renamed over it, so a crash leaves the old
// file or the new one. 0, or -1 when there is no record (and allow_empty is
// false), the path does not fit the header (255 bytes), or the file cannot be
// created or fully written (nothing is left behind). joins: second pieces
// (their indices must be records'; with any, the path must be shorter than 240 bytes).
int write_scan_result(const std::string& file, const std::string& device_path,
                      const std::vector<raw_item_s>& records, bool allow_empty = false,
                      const record_joins& joins = {});

// Replaces file with size bytes as above. 0, or -1.
int replace_file_atomically(const std::string& file, const uint8_t* data, size_t size);

// The device path in a file's header: empty when the file cannot be read, is
// shorter than the header, or the path is empty or not terminated.
std::optional<std::string> read_scan_result_path(const std::string& file);

// Reads and checks a whole file. Refused (empty, with the reason in error):
// no complete record (unless allow_empty) or a length that is not 256 + 32 n, more records than
// scan_result_max_records, a record whose index is not its position, a type
// name that is empty or not of a-z 0-9 _ + -, or a file that does not lie
// within device_length bytes; second pieces that are not one per record,
// empty, or do not lie within device_length bytes. Files written before
// second pieces were kept load with none.
std::optional<scan_result> read_scan_result(const std::string& file, uint64_t device_length,
                                            std::string* error = nullptr, bool allow_empty = false);

// The same checks over a whole file already in memory; name is used in messages.
std::optional<scan_result> parse_scan_result(const uint8_t* bytes, size_t size, const std::string& name,
                                             uint64_t device_length, std::string* error = nullptr,
                                             bool allow_empty = false);

// The position in volumes of the volume a saved result belongs to: the one whose
// volume_name is the saved path (a trailing backslash on the volume's name is
// ignored). -1 when none is.
int find_result_volume(const QList<volume_item_s>& volumes, const QString& device_path);

}  // namespace qv
