#pragma once
// Every-byte header search: all configured headers compiled into one Vectorscan
// database, so a block is searched in one pass whatever the number of headers.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sigscan/pattern.hpp"

namespace qv::sig {

class header_search {
public:
    struct hit {
        uint32_t start;  // offset of the header's first byte in the searched bytes
        uint32_t id;     // the header's position in the list given at construction
        bool operator<(const hit& o) const { return start != o.start ? start < o.start : id < o.id; }
    };

    // ready() is false when the library is missing, refuses a pattern or does
    // not run on this processor; the caller then searches on its own.
    explicit header_search(const std::vector<const byte_pattern*>& headers);
    ~header_search();
    header_search(const header_search&) = delete;
    header_search& operator=(const header_search&) = delete;

    bool ready() const;
    // Every header that matches in data[0, size) and starts before `before`,
    // sorted by start, then by id. False on a library error.
    bool find_all(const uint8_t* data, size_t size, size_t before, std::vector<hit>& out);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace qv::sig
