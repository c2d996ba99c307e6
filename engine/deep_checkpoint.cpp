#include "engine/deep_checkpoint.hpp"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "devices/le_bytes.hpp"

namespace qv {
namespace {

// Layout: magic, version, flags, device length, position, unreadable bytes,
// record count, search start, end of the last file, then the 256-byte device
// path and the 32-byte records of the result file (with its second pieces,
// counted in that header, after the records).
constexpr char magic[8] = {'Q', 'V', 'D', 'E', 'E', 'P', 'C', 'K'};
constexpr uint32_t version = 1;
constexpr size_t at_version = 8, at_flags = 12, at_length = 16, at_position = 24, at_unreadable = 32,
                 at_count = 40, at_search_from = 48, at_reported_end = 56,
                 fixed_bytes = 64;
constexpr uint32_t flag_every_byte = 1;
constexpr uint32_t flag_free_space = 2;  // absent in older files: they are whole-volume scans

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

}  // namespace

int write_deep_checkpoint(const std::string& file, const deep_checkpoint& c) {
    if (c.device_path.empty() || c.device_path.size() >= scan_result_header_size) return -1;
    if (!c.joins.empty() && (c.device_path.size() >= scan_result_pieces_mark_at || c.joins.rbegin()->first >= c.records.size()))
        return -1;
    std::vector<uint8_t> bytes(
        fixed_bytes + scan_result_header_size + (c.records.size() + c.joins.size()) * scan_result_record_size, 0);
    std::memcpy(bytes.data(), magic, sizeof magic);
    put_le32(bytes.data() + at_version, version);
    put_le32(bytes.data() + at_flags, (c.every_byte ? flag_every_byte : 0) | (c.free_space ? flag_free_space : 0));
    put_le64(bytes.data() + at_length, c.device_length);
    put_le64(bytes.data() + at_position, c.position);
    put_le64(bytes.data() + at_unreadable, c.unreadable_bytes);
    put_le64(bytes.data() + at_count, c.records.size());
    put_le64(bytes.data() + at_search_from, c.search_from);
    put_le64(bytes.data() + at_reported_end, c.reported_end);
    std::memcpy(bytes.data() + fixed_bytes, c.device_path.data(), c.device_path.size());
    if (!c.joins.empty()) {
        std::memcpy(bytes.data() + fixed_bytes + scan_result_pieces_mark_at, scan_result_pieces_mark,
                    sizeof scan_result_pieces_mark);
        put_le64(bytes.data() + fixed_bytes + scan_result_pieces_count_at, c.joins.size());
    }
    uint8_t* p = bytes.data() + fixed_bytes + scan_result_header_size;
    for (const raw_item_s& r : c.records) {
        put_le64(p, r.index);
        put_le64(p + 8, r.offset);
        put_le64(p + 16, r.size);
        std::memcpy(p + 24, r.type, sizeof r.type);
        p += scan_result_record_size;
    }
    for (const auto& [index, piece] : c.joins) {
        put_le64(p, index);
        put_le64(p + 8, piece.offset);
        put_le64(p + 16, piece.size);
        std::memcpy(p + 24, scan_result_piece_type, sizeof scan_result_piece_type);
        p += scan_result_record_size;
    }
    return replace_file_atomically(file, bytes.data(), bytes.size());
}

std::optional<deep_checkpoint> read_deep_checkpoint(const std::string& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return fail(error, file + ": cannot be read"), std::nullopt;
    uint8_t head[fixed_bytes];
    if (!in.read(reinterpret_cast<char*>(head), sizeof head) || std::memcmp(head, magic, sizeof magic) != 0)
        return fail(error, file + ": not a deep-scan checkpoint"), std::nullopt;
    byte_view v(head, sizeof head);
    if (v.le32(at_version) != version) return fail(error, file + ": a checkpoint of another version"), std::nullopt;
    deep_checkpoint c;
    c.every_byte = v.le32(at_flags) & flag_every_byte;
    c.free_space = v.le32(at_flags) & flag_free_space;
    c.device_length = v.le64(at_length);
    c.position = v.le64(at_position);
    c.unreadable_bytes = v.le64(at_unreadable);
    const uint64_t count = v.le64(at_count);
    c.search_from = v.le64(at_search_from);
    c.reported_end = v.le64(at_reported_end);
    if (count > scan_result_max_records || c.position > c.device_length || c.unreadable_bytes > c.position ||
        c.search_from < c.position || c.reported_end > c.search_from)
        return fail(error, file + ": the checkpoint's numbers do not fit together"), std::nullopt;
    // The rest is the result file's own layout: check it with the same rules.
    std::vector<uint8_t> rest(scan_result_header_size);
    if (!in.read(reinterpret_cast<char*>(rest.data()), std::streamsize(rest.size())))
        return fail(error, file + ": the checkpoint is cut short or too long"), std::nullopt;
    // Second pieces follow the records where the header counts them; the
    // result file's rules check the count.
    const uint64_t pieces = scan_result_pieces_in(rest.data());
    if (pieces > count) return fail(error, file + ": the checkpoint counts too many second pieces"), std::nullopt;
    rest.resize(scan_result_header_size + size_t(count + pieces) * scan_result_record_size);
    if (!in.read(reinterpret_cast<char*>(rest.data() + scan_result_header_size),
                 std::streamsize(rest.size() - scan_result_header_size)) ||
        in.peek() != EOF)
        return fail(error, file + ": the checkpoint is cut short or too long"), std::nullopt;
    auto result = parse_scan_result(rest.data(), rest.size(), file, c.device_length, error, true);
    if (!result) return std::nullopt;
    c.device_path = result->device_path;
    c.records = std::move(result->records);
    c.joins = std::move(result->joins);
    return c;
}

std::string deep_checkpoint_path(const std::string& result_file, const std::string& device_path) {
    if (!result_file.empty()) return result_file + ".checkpoint";
    QString base = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.local/share/Quorvane");
    const QString folder = base + QStringLiteral("/checkpoints");
    QDir().mkpath(folder);
    const QByteArray id = QCryptographicHash::hash(QByteArray::fromStdString(device_path), QCryptographicHash::Sha1).toHex();
    return (folder + QStringLiteral("/deep-") + QString::fromLatin1(id.left(16)) + QStringLiteral(".checkpoint"))
        .toStdString();
}

deep_checkpointer::deep_checkpointer(std::string path, std::string device_path, uint64_t device_length,
                                     bool every_byte, std::chrono::milliseconds interval, uint64_t carried,
                                     const bad_ranges* bad)
    : path_(std::move(path)), interval_(interval), last_(std::chrono::steady_clock::now()), carried_(carried),
      bad_(bad) {
    c_.device_path = std::move(device_path);
    c_.device_length = device_length;
    c_.every_byte = every_byte;
}

void deep_checkpointer::write(const std::vector<raw_item_s>& records, const record_joins& joins) {
    // Only what lies before the place: the rest is read again after a resume.
    c_.unreadable_bytes = carried_ + (bad_ ? bad_->overlap(0, c_.position) : 0);
    c_.records = records;
    c_.joins = joins;
    if (write_deep_checkpoint(path_, c_) == 0) ++written_;
    c_.records.clear();
    c_.joins.clear();
    last_ = std::chrono::steady_clock::now();
}

void deep_checkpointer::at_block(const sig::scan_place& place, const std::vector<raw_item_s>& records,
                                 const record_joins& joins) {
    c_.position = place.position;
    c_.search_from = place.search_from;
    c_.reported_end = place.reported_end;
    if (!path_.empty() && std::chrono::steady_clock::now() - last_ >= interval_) write(records, joins);
}

void deep_checkpointer::finish(bool finished, const std::vector<raw_item_s>& records, const record_joins& joins) {
    if (path_.empty()) return;
    if (finished)
        std::remove(path_.c_str());  // nothing left to go on with
    else
        write(records, joins);
}

}  // namespace qv
