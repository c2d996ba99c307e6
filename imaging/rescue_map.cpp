#include "imaging/rescue_map.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qv::imaging {
namespace {

// Far more lines than a real map of a dying drive has; a larger file is not ours.
constexpr size_t max_map_lines = 4u << 20;

bool area_char(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
bool phase_char(char c) { return area_char(c) || c == 'F' || c == 'G'; }

bool parse_number(const std::string& word, uint64_t* out) {
    if (word.empty() || word[0] == '-' || word[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(word.c_str(), &end, 0);  // 0x.. as the map writes, decimal too
    if (errno != 0 || end == word.c_str() || *end != 0) return false;
    *out = v;
    return true;
}

std::string hex(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*" PRIX64, width, v);
    return buf;
}

}  // namespace

rescue_map::rescue_map(uint64_t size) : size_(size) {
    if (size > 0) blocks_.push_back({0, size, area::non_tried});
}

void rescue_map::set(uint64_t pos, uint64_t len, area s) {
    if (pos >= size_ || len == 0) return;
    len = std::min(len, size_ - pos);
    const uint64_t end = pos + len;
    std::vector<map_block> out;
    out.reserve(blocks_.size() + 2);
    auto push = [&out](map_block b) {
        if (b.size == 0) return;
        if (!out.empty() && out.back().status == b.status && out.back().pos + out.back().size == b.pos)
            out.back().size += b.size;
        else
            out.push_back(b);
    };
    // Blocks wholly before pos stay as they are; only the touched ones are rebuilt.
    auto first = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                                  [](uint64_t p, const map_block& b) { return p < b.pos + b.size; });
    out.insert(out.end(), blocks_.begin(), first);
    bool placed = false;
    auto it = first;
    for (; it != blocks_.end() && it->pos < end; ++it) {
        const map_block& b = *it;
        if (b.pos < pos) push({b.pos, pos - b.pos, b.status});
        if (!placed) {
            push({pos, len, s});
            placed = true;
        }
        const uint64_t b_end = b.pos + b.size;
        if (b_end > end) push({end, b_end - end, b.status});
    }
    for (; it != blocks_.end(); ++it) push(*it);
    blocks_ = std::move(out);
}

uint64_t rescue_map::bytes_in(area s) const {
    uint64_t n = 0;
    for (const auto& b : blocks_)
        if (b.status == s) n += b.size;
    return n;
}

size_t rescue_map::areas_in(area s) const {
    return size_t(std::count_if(blocks_.begin(), blocks_.end(), [s](const map_block& b) { return b.status == s; }));
}

std::optional<map_block> rescue_map::next_in(area s, uint64_t pos) const {
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                               [](uint64_t p, const map_block& b) { return p < b.pos + b.size; });
    for (; it != blocks_.end(); ++it)
        if (it->status == s) return *it;
    return std::nullopt;
}

std::string rescue_map::text(const std::vector<std::string>& heading) const {
    std::string out = "# Mapfile. Created by Quorvane\n";
    for (const auto& h : heading) out += "# " + h + "\n";
    out += "# current_pos  current_status  current_pass\n";
    out += hex(current_pos, 8) + "     " + char(current_phase) + "               " + std::to_string(current_pass) + "\n";
    out += "#      pos        size  status\n";
    for (const auto& b : blocks_) out += hex(b.pos, 8) + "  " + hex(b.size, 8) + "  " + char(b.status) + "\n";
    return out;
}

std::optional<rescue_map> rescue_map::parse(const std::string& text, uint64_t size, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return std::nullopt;
    };
    rescue_map map(size);
    map.blocks_.clear();
    std::istringstream in(text);
    std::string line;
    bool have_status = false;
    size_t lines = 0;
    while (std::getline(in, line)) {
        if (++lines > max_map_lines) return fail("too many lines for a mapfile");
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream words(line.substr(start));
        std::string a, b, c, extra;
        words >> a >> b >> c >> extra;
        if (!have_status) {
            // current_pos current_status [current_pass]
            uint64_t pos = 0, pass = 1;
            if (!parse_number(a, &pos) || b.size() != 1 || !phase_char(b[0]) ||
                (!c.empty() && (!parse_number(c, &pass) || pass == 0 || pass > 1000)) || !extra.empty())
                return fail("line " + std::to_string(lines) + ": not a status line");
            map.current_pos = pos;
            map.current_phase = (b[0] == 'F' || b[0] == 'G') ? phase::copying : phase(b[0]);
            map.current_pass = int(pass);
            have_status = true;
            continue;
        }
        uint64_t pos = 0, len = 0;
        if (!parse_number(a, &pos) || !parse_number(b, &len) || c.size() != 1 || !area_char(c[0]) ||
            !extra.empty())
            return fail("line " + std::to_string(lines) + ": not a \"pos size status\" line");
        const uint64_t expected = map.blocks_.empty() ? 0 : map.blocks_.back().pos + map.blocks_.back().size;
        if (pos != expected) return fail("line " + std::to_string(lines) + ": areas are not contiguous");
        if (len == 0 || len > size || pos > size - len)
            return fail("line " + std::to_string(lines) + ": the area runs past the end of the source");
        map.blocks_.push_back({pos, len, area(c[0])});
    }
    if (!have_status) return fail("no status line");
    const uint64_t covered = map.blocks_.empty() ? 0 : map.blocks_.back().pos + map.blocks_.back().size;
    if (covered != size) return fail("the areas do not cover the whole source (its size changed?)");
    // Merge neighbours of one state so later edits see one block each.
    rescue_map merged(size);
    for (const auto& blk : map.blocks_) merged.set(blk.pos, blk.size, blk.status);
    merged.current_pos = std::min(map.current_pos, size);
    merged.current_phase = map.current_phase;
    merged.current_pass = map.current_pass;
    return merged;
}

int save_text_atomically(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return -1;
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    return 0;
}

}  // namespace qv::imaging
