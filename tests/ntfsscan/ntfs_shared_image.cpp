#include "tests/ntfsscan/ntfs_shared_image.hpp"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "tests/ntfsscan/ntfs_test_image.hpp"

namespace qv::test {

namespace {

constexpr uint64_t image_bytes = 96ull << 20;
constexpr size_t bulk_count = 12000;

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

bool write_at(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    bool ok = ::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
    return ::close(fd) == 0 && ok;
}

// Fills the mounted volume; returns an empty string or what went wrong.
std::string fill(const ntfs_mount& m, shared_ntfs& s) {
    namespace fs = std::filesystem;
    auto put = [&](const std::string& path, const std::vector<uint8_t>& bytes, bool deleted) {
        write_file(m / path, bytes);
        (deleted ? s.deleted : s.live)[path] = bytes;
    };
    put("keep.txt", text("a live file that the scan leaves out\n"), false);
    put("small.txt", pseudo_random_bytes(200, 1), true);
    put("empty.dat", {}, true);
    put("big.bin", pseudo_random_bytes(300000, 2), true);
    put("ünï€😀.txt", text("unicode name\n"), true);

    // A sparse file: a hole, 5000 bytes of data, a hole to 4 MiB.
    std::vector<uint8_t> sparse(4u << 20, 0);
    auto island = pseudo_random_bytes(5000, 3);
    std::copy(island.begin(), island.end(), sparse.begin() + (1 << 20) + 100);
    if (!write_at(m / "sparse.bin", (1 << 20) + 100, island) ||
        ::truncate((m / "sparse.bin").c_str(), off_t(sparse.size())) != 0)
        return "cannot make the sparse file";
    s.deleted["sparse.bin"] = sparse;

    // So many data islands that the name and the runlist move to extension
    // records. ntfs-3g wipes extension records when it deletes a file, so this
    // one stays live; the library still recovers it.
    std::vector<uint8_t> many;
    for (uint32_t i = 0; i < 1500; ++i) {
        auto block = pseudo_random_bytes(4096, 1000 + i);
        if (!write_at(m / "many.bin", uint64_t(i) * 8192, block)) return "cannot write many.bin";
        many.resize(size_t(i) * 8192, 0);
        many.insert(many.end(), block.begin(), block.end());
    }
    s.live["many.bin"] = many;

    fs::create_directories(m / "olddir/sub");
    put("olddir/a.txt", text("alpha\n"), true);
    put("olddir/sub/b.bin", pseudo_random_bytes(70000, 4), true);
    s.deleted_dirs = {"olddir", "olddir/sub"};
    fs::create_directories(m / "livedir");
    put("livedir/gone.txt", text("gone from a live folder\n"), true);

    // A folder marked compressed: ntfs-3g compresses what is written into it.
    fs::create_directories(m / "cdir");
    const uint8_t compressed_be[4] = {0, 0, 0x08, 0x00};
    if (setxattr((m / "cdir").c_str(), "system.ntfs_attrib_be", compressed_be, 4, 0) == 0) {
        write_file(m / "cdir/c.txt", std::vector<uint8_t>(100000, 'a'));
        s.compressed = "cdir/c.txt";
    }

    fs::create_directories(m / "bulk");
    for (size_t i = 0; i < bulk_count; ++i) {
        int fd = ::open((m / ("bulk/f" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) return "cannot create the bulk files";
        ::close(fd);
    }
    s.bulk_files = bulk_count;

    // Fill the volume to the last cluster with 256 KiB files, then grow a file
    // by 256 KiB each time one of them, far apart, is deleted: with no other
    // free space it has to take each gap in turn and comes out fragmented.
    fs::create_directories(m / "fill");
    std::vector<uint8_t> fill_block(256u << 10, 0x5A);
    size_t fill_count = 0;
    while (write_at(m / ("fill/f" + std::to_string(fill_count)), 0, fill_block)) ++fill_count;
    if (fill_count < 8) return "cannot fill the volume";
    std::error_code ec;
    std::vector<uint8_t> frag;
    for (size_t k = 0; k < 4; ++k) {
        fs::remove(m / ("fill/f" + std::to_string(k * (fill_count / 4))), ec);
        auto piece = pseudo_random_bytes(fill_block.size(), 500 + uint32_t(k));
        if (!write_at(m / "frag_a.bin", frag.size(), piece)) return "cannot write the fragmented file";
        frag.insert(frag.end(), piece.begin(), piece.end());
    }
    s.deleted["frag_a.bin"] = frag;

    for (const auto& [path, bytes] : s.deleted) fs::remove(m / path, ec);
    fs::remove_all(m / "olddir", ec);
    if (!s.compressed.empty()) fs::remove(m / s.compressed, ec);
    return {};
}

shared_ntfs make() {
    static temp_dir dir;
    shared_ntfs s;
    s.image = dir / "shared.img";
    if (!make_ntfs_image(s.image, image_bytes, &s.why)) return s;
    ntfs_mount m;
    if (!m.mount(s.image, dir / "mnt", &s.why)) return s;
    s.made_from = std::time(nullptr);
    std::string failed = fill(m, s);
    s.made_until = std::time(nullptr);
    if (!m.unmount() && failed.empty()) failed = "ntfs-3g did not unmount";
    if (!failed.empty()) {
        s.why = failed;
        return s;
    }
    s.ok = true;
    return s;
}

}  // namespace

const shared_ntfs& shared_image() {
    static const shared_ntfs image = make();
    return image;
}

}  // namespace qv::test
