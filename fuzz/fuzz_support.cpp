#include "fuzz/fuzz_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

const target targets[] = {
    {"fat_volume", fat_volume},
    {"ntfs_record", ntfs_record},
    {"ntfs_volume", ntfs_volume},
    {"exfat_volume", exfat_volume},
    {"signature_scan", signature_scan},
    {"scan_result", scan_result},
    {"language_file", language_file},
    {"signature_config", signature_config},
    {"partition_search", partition_search},
    {"image_partitions", image_partitions},
};

struct scratch {
    std::string path;
    scratch() {
        namespace fs = std::filesystem;
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp && *tmp ? tmp : "/tmp";
        }
        path = base + "/quorvane-fuzz-" + std::to_string(::getpid());
        ::mkdir(path.c_str(), 0700);
    }
    ~scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

std::span<const target> all_targets() { return targets; }

const std::string& scratch_dir() {
    static scratch s;
    return s.path;
}

void contract_broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "contract broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace qv::fuzz
