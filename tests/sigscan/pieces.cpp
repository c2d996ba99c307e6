#include "tests/sigscan/pieces.hpp"

#include <algorithm>

#include "devices/device_handle.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

split_image lay_in_two(const std::vector<uint8_t>& file, uint64_t cut, uint64_t gap_clusters, bool zero_gap,
                       uint64_t cluster) {
    split_image s;
    const uint64_t first_at = 4 * cluster;
    const uint64_t second_at = first_at + cut + gap_clusters * cluster;
    const uint64_t end = (second_at + (file.size() - cut) + 3 * cluster) / cluster * cluster;
    s.image = pseudo_random_bytes(size_t(end), 99);
    if (zero_gap)
        std::fill(s.image.begin() + std::ptrdiff_t(first_at + cut), s.image.begin() + std::ptrdiff_t(second_at), 0);
    std::copy(file.begin(), file.begin() + std::ptrdiff_t(cut), s.image.begin() + std::ptrdiff_t(first_at));
    std::copy(file.begin() + std::ptrdiff_t(cut), file.end(), s.image.begin() + std::ptrdiff_t(second_at));
    s.first = {first_at, cut};
    s.second = {second_at, file.size() - cut};
    return s;
}

beside_offsets put_beside(split_image& s, const std::vector<uint8_t>& inside, const std::vector<uint8_t>& after,
                          uint64_t cluster) {
    const uint64_t inside_at = s.first.offset + s.first.size + 2 * cluster;
    std::copy(inside.begin(), inside.end(), s.image.begin() + std::ptrdiff_t(inside_at));
    const uint64_t after_at = (s.second.offset + s.second.size + cluster) / cluster * cluster;
    s.image.resize(after_at + after.size() + cluster, 0);
    std::copy(after.begin(), after.end(), s.image.begin() + std::ptrdiff_t(after_at));
    return {inside_at, after_at};
}

std::optional<qv::sig::joined_file> join_in(joiner join, const std::vector<uint8_t>& image, uint64_t start,
                                            const qv::sig::join_limits& limits) {
    qv::memory_device device(image);
    qv::sig::carve_input in(device, nullptr);
    return join(in, start, image.size() - start, limits);
}

std::vector<uint8_t> assembled(const std::vector<uint8_t>& image, const qv::sig::joined_file& j) {
    std::vector<uint8_t> out(image.begin() + std::ptrdiff_t(j.first.offset),
                             image.begin() + std::ptrdiff_t(j.first.offset + j.first.size));
    out.insert(out.end(), image.begin() + std::ptrdiff_t(j.second.offset),
               image.begin() + std::ptrdiff_t(j.second.offset + j.second.size));
    return out;
}

}  // namespace qv::test
