#include "sigscan/start_filter.hpp"

#include <algorithm>
#include <optional>

namespace qv::sig {

start_filter::start_filter(const signature_config& config) {
    for (const file_type& type : config.types) {
        for (const byte_pattern& p : type.headers) {
            // A fixed pair that is not two zeros (empty space should pass no
            // test), at a position tested already where the header has one.
            std::optional<size_t> chosen;
            int best = -1;
            for (size_t a = 0; a + 1 < std::min(p.size(), word_bytes); ++a) {
                if (p.is_wild(a) || p.is_wild(a + 1)) continue;
                const int score = (p.byte(a) != 0 || p.byte(a + 1) != 0) * 2 + (index_of(a) < count_);
                if (score > best) {
                    best = score;
                    chosen = a;
                }
            }
            if (!chosen || (index_of(*chosen) == count_ && count_ == max_positions)) {
                count_ = 0;
                return;
            }
            const size_t k = index_of(*chosen);
            if (k == count_) shifts_[count_++] = unsigned(8 * *chosen);
            // The pair as the little-endian word holds it: the first byte lowest.
            const unsigned pair = unsigned(p.byte(*chosen)) | unsigned(p.byte(*chosen + 1)) << 8;
            tables_[k][pair >> 6] |= uint64_t(1) << (pair & 63);
        }
    }
}

size_t start_filter::index_of(size_t pos) const {
    for (size_t k = 0; k < count_; ++k)
        if (shifts_[k] == 8 * pos) return k;
    return count_;
}

}  // namespace qv::sig
