#include "fuzz/fuzz_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/item_paths.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

const target targets[] = {
    {"fat_volume", fat_volume},
    {"ntfs_record", ntfs_record},
    {"ntfs_volume", ntfs_volume},
    {"exfat_volume", exfat_volume},
    {"ext4_volume", ext4_volume},
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

namespace qv::fuzz {

void check_result_shape(const std::vector<found_item>& items) {
    folder_tree tree = build_folder_tree(items);
    QV_FUZZ_CHECK(!tree.nodes.empty() && tree.nodes[0].name == "/");
    size_t rows = 0;
    for (size_t n = 0; n < tree.nodes.size(); ++n) {
        for (size_t child : tree.nodes[n].folders) QV_FUZZ_CHECK(child > n && child < tree.nodes.size());
        for (const found_item* f : tree.nodes[n].files)
            QV_FUZZ_CHECK(f >= items.data() && f < items.data() + items.size() && !f->directory);
        rows += tree.nodes[n].files.size();
    }
    QV_FUZZ_CHECK(rows <= items.size());
    item_index index(items);
    for (const found_item& item : items) {
        item_chain chain = chain_of(index, item.id);
        QV_FUZZ_CHECK(!chain.items.empty() && chain.items.size() <= items.size());
        item_path(index, item.id, "/mnt");
    }
}

}  // namespace qv::fuzz
