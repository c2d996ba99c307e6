#pragma once
// One directory or deleted file found by the FAT engine.

#include <cstdint>
#include <vector>

struct fat_item_s {
    uint32_t reserved = 0;
    uint32_t cluster = 0;      // first cluster, also the item id; 0 only for the root
    uint32_t parent = 0;       // first cluster of the directory it was found in; 0 = root
    uint32_t size = 0;         // bytes, as the directory entry gives it
    int64_t modified = 0;      // seconds since 1970 UTC; 0 when not representable
    int64_t created = 0;
    uint8_t attributes = 0;    // FAT attribute byte, 0x40 when deleted or below a deleted folder
    uint8_t under_deleted = 0; // 1 when found below a deleted directory
    char16_t name[263] = {};   // at most 259 units, always terminated; '#' first when deleted
    uint8_t state = 0;         // a qv::item_state: can the content still be had
    char16_t short_name[13] = {};  // '#'-first short name when name is a recovered long name, else empty
};
