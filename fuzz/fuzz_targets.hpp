#pragma once
// The fuzz targets' bodies: each takes one input of arbitrary bytes, runs one
// parser over it the way the program does, and aborts when a contract breaks.
// The libFuzzer executables and the regression test call the same bodies.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv::fuzz {

using body_fn = int (*)(const uint8_t* data, size_t size);

struct target {
    const char* name;  // also the folder of its seeds and regression inputs
    body_fn body;
};

int fat_volume(const uint8_t* data, size_t size);
int ntfs_record(const uint8_t* data, size_t size);
int ntfs_volume(const uint8_t* data, size_t size);
int exfat_volume(const uint8_t* data, size_t size);
int ext4_volume(const uint8_t* data, size_t size);
int signature_scan(const uint8_t* data, size_t size);
int scan_result(const uint8_t* data, size_t size);
int language_file(const uint8_t* data, size_t size);
int signature_config(const uint8_t* data, size_t size);
int partition_search(const uint8_t* data, size_t size);
int image_partitions(const uint8_t* data, size_t size);

// Every target, in the order the fuzz script runs them.
std::span<const target> all_targets();

}  // namespace qv::fuzz
