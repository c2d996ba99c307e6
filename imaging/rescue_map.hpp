#pragma once
// The state of every area of a drive being imaged, kept as a GNU ddrescue
// mapfile: comment lines, a status line "current_pos current_status
// current_pass", then one "pos size status" line per area.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv::imaging {

// Area states, as the mapfile writes them.
enum class area : char {
    non_tried = '?',
    non_trimmed = '*',   // a read failed somewhere in it; its edges not tried sector by sector
    non_scraped = '/',   // edges trimmed; the inside not read sector by sector
    bad_sector = '-',    // read sector by sector and failed
    finished = '+',      // copied
};

// What the copy is doing, as the status line's current_status writes it.
enum class phase : char {
    copying = '?',
    trimming = '*',
    scraping = '/',
    retrying = '-',
    finished = '+',
};

struct map_block {
    uint64_t pos = 0;
    uint64_t size = 0;
    area status = area::non_tried;
};

class rescue_map {
public:
    // One non-tried area over [0, size).
    explicit rescue_map(uint64_t size = 0);

    uint64_t size() const { return size_; }
    const std::vector<map_block>& blocks() const { return blocks_; }
    // Marks [pos, pos + len) (clamped to the map) as s, merging neighbours of one state.
    void set(uint64_t pos, uint64_t len, area s);
    // Bytes in state s.
    uint64_t bytes_in(area s) const;
    // Areas in state s (after merging), for the error count.
    size_t areas_in(area s) const;
    // The first area in state s that ends after pos; none when there is none.
    std::optional<map_block> next_in(area s, uint64_t pos) const;

    uint64_t current_pos = 0;
    phase current_phase = phase::copying;
    int current_pass = 1;

    // The mapfile text; heading holds extra comment lines (without "# ").
    std::string text(const std::vector<std::string>& heading = {}) const;
    // Reads a mapfile. It must cover exactly [0, size) with contiguous areas
    // of known states, or it is refused with the reason in *error.
    static std::optional<rescue_map> parse(const std::string& text, uint64_t size, std::string* error);

private:
    uint64_t size_ = 0;
    std::vector<map_block> blocks_;  // sorted, contiguous, covering [0, size_)
};

// Writes text to path atomically: a temporary file beside it, fsync, rename. 0 or -1.
int save_text_atomically(const std::string& path, const std::string& text);

}  // namespace qv::imaging
