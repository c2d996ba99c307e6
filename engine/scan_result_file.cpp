#include "engine/scan_result_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "devices/le_bytes.hpp"

namespace qv {

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

constexpr size_t record_offset_at = 8, record_size_at = 16, record_type_at = 24, type_length = 8;
constexpr const char (&pieces_mark)[8] = scan_result_pieces_mark;
constexpr const char (&piece_type)[type_length] = scan_result_piece_type;

bool type_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-';
}

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

}  // namespace

uint64_t scan_result_pieces_in(const uint8_t* header) {
    // A path that reaches into the mark's place leaves no room for it.
    const void* nul = std::memchr(header, '\0', scan_result_header_size);
    if (!nul || static_cast<const uint8_t*>(nul) >= header + scan_result_pieces_mark_at ||
        std::memcmp(header + scan_result_pieces_mark_at, pieces_mark, sizeof pieces_mark) != 0)
        return 0;
    return byte_view(header, scan_result_header_size).le64(scan_result_pieces_count_at);
}

std::string record_type(const raw_item_s& item) {
    size_t n = 0;
    while (n < type_length && item.type[n] != '\0') ++n;
    return std::string(item.type, n);
}

int write_scan_result(const std::string& file, const std::string& device_path,
                      const std::vector<raw_item_s>& records, bool allow_empty, const record_joins& joins) {
    if (records.empty() && !allow_empty) return -1;
    if (device_path.size() >= scan_result_header_size || device_path.find('\0') != std::string::npos)
        return -1;
    if (!joins.empty() && (device_path.size() >= scan_result_pieces_mark_at || joins.rbegin()->first >= records.size()))
        return -1;
    std::vector<uint8_t> bytes(scan_result_header_size + (records.size() + joins.size()) * scan_result_record_size, 0);
    std::memcpy(bytes.data(), device_path.data(), device_path.size());
    if (!joins.empty()) {
        std::memcpy(bytes.data() + scan_result_pieces_mark_at, pieces_mark, sizeof pieces_mark);
        put_le64(bytes.data() + scan_result_pieces_count_at, joins.size());
    }
    uint8_t* p = bytes.data() + scan_result_header_size;
    for (const raw_item_s& r : records) {
        put_le64(p, r.index);
        put_le64(p + record_offset_at, r.offset);
        put_le64(p + record_size_at, r.size);
        std::memcpy(p + record_type_at, r.type, type_length);
        p += scan_result_record_size;
    }
    for (const auto& [index, piece] : joins) {
        put_le64(p, index);
        put_le64(p + record_offset_at, piece.offset);
        put_le64(p + record_size_at, piece.size);
        std::memcpy(p + record_type_at, piece_type, type_length);
        p += scan_result_record_size;
    }
    return replace_file_atomically(file, bytes.data(), bytes.size());
}

int replace_file_atomically(const std::string& file, const uint8_t* data, size_t size) {
    std::string temp = file + ".tmp-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return -1;
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    size_t slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);  // the new name survives a power cut too
        ::close(dir_fd);
    }
    return 0;
}

std::optional<std::string> read_scan_result_path(const std::string& file) {
    file_ptr in(std::fopen(file.c_str(), "rb"));
    if (!in) return std::nullopt;
    char header[scan_result_header_size];
    if (std::fread(header, 1, sizeof header, in.get()) != sizeof header) return std::nullopt;
    const void* nul = std::memchr(header, '\0', sizeof header);
    if (!nul || nul == header) return std::nullopt;
    return std::string(header);
}

std::optional<scan_result> read_scan_result(const std::string& file, uint64_t device_length,
                                            std::string* error, bool allow_empty) {
    auto path = read_scan_result_path(file);
    if (!path) {
        fail(error, file + ": no device path in the first 256 bytes");
        return std::nullopt;
    }
    file_ptr in(std::fopen(file.c_str(), "rb"));
    if (!in || std::fseek(in.get(), 0, SEEK_END) != 0) {
        fail(error, file + ": " + std::strerror(errno));
        return std::nullopt;
    }
    long length = std::ftell(in.get());
    if (length < long(scan_result_header_size + (allow_empty ? 0 : scan_result_record_size)) ||
        (uint64_t(length) - scan_result_header_size) % scan_result_record_size != 0) {
        fail(error, file + ": the length is not 256 bytes plus whole 32-byte records");
        return std::nullopt;
    }
    if ((uint64_t(length) - scan_result_header_size) / scan_result_record_size > scan_result_max_records) {
        fail(error, file + ": too many records");
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (std::fseek(in.get(), 0, SEEK_SET) != 0 ||
        std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size()) {
        fail(error, file + ": cannot read the records");
        return std::nullopt;
    }
    return parse_scan_result(bytes.data(), bytes.size(), file, device_length, error, allow_empty);
}

std::optional<scan_result> parse_scan_result(const uint8_t* bytes, size_t size, const std::string& name,
                                             uint64_t device_length, std::string* error, bool allow_empty) {
    scan_result result;
    const void* nul = size >= scan_result_header_size ? std::memchr(bytes, '\0', scan_result_header_size) : nullptr;
    if (!nul || nul == bytes) {
        fail(error, name + ": no device path in the first 256 bytes");
        return std::nullopt;
    }
    result.device_path = std::string(reinterpret_cast<const char*>(bytes));
    if (size < scan_result_header_size + (allow_empty ? 0 : scan_result_record_size) ||
        (size - scan_result_header_size) % scan_result_record_size != 0) {
        fail(error, name + ": the length is not 256 bytes plus whole 32-byte records");
        return std::nullopt;
    }
    uint64_t count = (size - scan_result_header_size) / scan_result_record_size;
    if (count > scan_result_max_records) {
        fail(error, name + ": too many records");
        return std::nullopt;
    }
    // Second pieces follow the records when the header counts them (a path
    // that reaches into the mark's place leaves none).
    const bool marked = static_cast<const uint8_t*>(nul) < bytes + scan_result_pieces_mark_at &&
                        std::memcmp(bytes + scan_result_pieces_mark_at, pieces_mark, sizeof pieces_mark) == 0;
    const uint64_t pieces = scan_result_pieces_in(bytes);
    if (marked) {
        if (pieces > count || pieces == 0) {
            fail(error, name + ": the header counts " + std::to_string(pieces) + " second pieces");
            return std::nullopt;
        }
        count -= pieces;
    }
    if (count == 0 && !allow_empty) {
        fail(error, name + ": no record");
        return std::nullopt;
    }
    result.records.resize(size_t(count));
    for (uint64_t i = 0; i < count; ++i) {
        byte_view v(bytes + scan_result_header_size + i * scan_result_record_size, scan_result_record_size);
        raw_item_s& r = result.records[size_t(i)];
        r.index = v.le64(0);
        r.offset = v.le64(record_offset_at);
        r.size = v.le64(record_size_at);
        std::memcpy(r.type, v.data() + record_type_at, type_length);
        if (r.index != i) {
            fail(error, name + ": record " + std::to_string(i) + " has index " + std::to_string(r.index));
            return std::nullopt;
        }
        std::string type = record_type(r);
        bool type_ok = !type.empty();
        for (size_t k = 0; k < type_length; ++k)
            type_ok = type_ok && (k < type.size() ? type_char(r.type[k]) : r.type[k] == '\0');
        if (!type_ok) {
            fail(error, name + ": record " + std::to_string(i) + " has a bad type name");
            return std::nullopt;
        }
        if (r.offset > device_length || r.size > device_length - r.offset) {
            fail(error, name + ": record " + std::to_string(i) + " lies past the end of the device");
            return std::nullopt;
        }
    }
    for (uint64_t k = 0; k < pieces; ++k) {
        byte_view v(bytes + scan_result_header_size + (count + k) * scan_result_record_size, scan_result_record_size);
        const uint64_t index = v.le64(0);
        const item_piece piece{v.le64(record_offset_at), v.le64(record_size_at)};
        const std::string what = name + ": second piece " + std::to_string(k);
        if (std::memcmp(v.data() + record_type_at, piece_type, type_length) != 0 || index >= count ||
            (!result.joins.empty() && index <= result.joins.rbegin()->first)) {
            fail(error, what + " does not belong to one record of its own");
            return std::nullopt;
        }
        const raw_item_s& first = result.records[size_t(index)];
        if (piece.size == 0 || piece.offset > device_length || piece.size > device_length - piece.offset ||
            first.size > ~uint64_t(0) - piece.size) {
            fail(error, what + " lies past the end of the device");
            return std::nullopt;
        }
        result.joins.emplace(index, piece);
    }
    return result;
}

int find_result_volume(const QList<volume_item_s>& volumes, const QString& device_path) {
    if (device_path.isEmpty()) return -1;
    for (int i = 0; i < volumes.size(); ++i) {
        QString name = volumes[i].volume_name;
        if (name.endsWith(QLatin1Char('\\'))) name.chop(1);
        if (name == device_path) return i;
    }
    return -1;
}

}  // namespace qv
