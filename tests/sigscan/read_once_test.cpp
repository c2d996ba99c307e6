// The carving scan reads each byte of the device once: a counting device under
// the scanner, images with files larger than a block and than the reader's
// in-memory stream, sector starts and every byte, large and small blocks.

#include <gtest/gtest.h>

#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>

#include "devices/device_handle.hpp"
#include "devices/tolerant_read.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scanner.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;

// A device in memory that counts what is read from it, and which sectors.
class counting_device final : public qv::device_handle {
public:
    explicit counting_device(bytes data) : inner_(std::move(data)), touched_((inner_.length() + 511) / 512) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override {
        std::lock_guard lock(mutex_);  // a scan at sector starts reads on two threads
        // Reads that reach the unreadable range fail as a bad sector does, and
        // reads at or past gone_at as a device pulled out does.
        if (offset + len > gone_at) {
            errno = ENODEV;
            return -1;
        }
        if (offset < bad_to && offset + len > bad_from) {
            errno = EIO;
            return -1;
        }
        const int64_t got = inner_.read_at(offset, buffer, len);
        ++calls;
        starts.push_back(offset);
        if (got > 0) {
            bytes_read += uint64_t(got);
            for (uint64_t s = offset / 512; s * 512 < offset + uint64_t(got); ++s) touched_[size_t(s)] = true;
        }
        return got;
    }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    size_t untouched_sectors() const { return size_t(std::count(touched_.begin(), touched_.end(), false)); }

    uint64_t calls = 0;
    std::vector<uint64_t> starts;  // of the reads that did not fail, in the order asked
    uint64_t bytes_read = 0;
    uint64_t bad_from = 0, bad_to = 0;
    uint64_t gone_at = ~uint64_t(0);

private:
    std::mutex mutex_;
    qv::memory_device inner_;
    std::vector<bool> touched_;
};

void put_be32(bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

void png_chunk(bytes& out, const char* type, const bytes& data) {
    put_be32(out, uint32_t(data.size()));
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, uint32_t(crc32(0, out.data() + at, uInt(4 + data.size()))));
}

// A PNG of many 1 MiB IDAT chunks of noise, each with its CRC: the size rule
// jumps from chunk header to chunk header.
bytes big_png(size_t chunks, uint32_t seed) {
    bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    png_chunk(out, "IHDR", {0, 0, 4, 0, 0, 0, 4, 0, 8, 2, 0, 0, 0});
    for (size_t i = 0; i < chunks; ++i) png_chunk(out, "IDAT", qv::test::pseudo_random_bytes(1 << 20, seed + uint32_t(i)));
    png_chunk(out, "IEND", {});
    return out;
}

// A JPEG whose entropy-coded data is a long run of noise without markers: the
// size rule reads every byte of it looking for the end.
bytes big_jpeg(size_t entropy, uint32_t seed) {
    bytes out = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                 0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 16, 1, 1, 0x11, 0,
                 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0};
    bytes noise = qv::test::pseudo_random_bytes(entropy, seed);
    for (auto& b : noise)
        if (b == 0xFF) b = 0xFE;
    out.insert(out.end(), noise.begin(), noise.end());
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

struct read_row {
    const char* name;
    bool every_byte;
    size_t block_size;
};

class ReadOnce : public ::testing::TestWithParam<read_row> {};

TEST_P(ReadOnce, EachByteCrossesOnce) {
    const read_row row = GetParam();
    // Files larger than the in-memory stream, as well as small ones.
    std::vector<qv::test::sample> samples = {
        {"big png", "png", big_png(40, 7)},
        {"pdf", "pdf", qv::test::make_pdf(3, false)},
        {"big jpg", "jpg", big_jpeg(size_t(36) << 20, 9)},
        {"wav", "wav", qv::test::make_wav(2)},
        {"avi", "avi", qv::test::make_avi(4)},
        {"small jpg", "jpg", big_jpeg(300000, 11)},
    };
    auto laid = qv::test::lay_out(samples, 77, !row.every_byte);
    const uint64_t length = laid.image.size();
    counting_device device(std::move(laid.image));
    qv::sig::scan_options options;
    options.every_byte = row.every_byte;
    options.block_size = row.block_size;
    std::vector<std::pair<uint64_t, uint64_t>> found;
    auto end = qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                                    [&](const char*, uint64_t offset, uint64_t size) { found.push_back({offset, size}); });
    ASSERT_EQ(end, qv::sig::scan_end::finished);
    ASSERT_EQ(found.size(), laid.files.size());
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].first, laid.files[i].offset) << laid.files[i].label;
        EXPECT_EQ(found[i].second, laid.files[i].data.size()) << laid.files[i].label;
    }
    // Every sector met (its read errors would be counted), none read twice but
    // for the few bytes where a rule's window overlaps the last one.
    EXPECT_EQ(device.untouched_sectors(), 0u);
    const double per_byte = double(device.bytes_read) / double(length);
    EXPECT_LE(per_byte, 1.03) << device.bytes_read << " bytes read in " << device.calls << " calls for "
                              << length;
    // Large reads: about one call per block, and the rules' 1 MiB windows beyond the stream.
    EXPECT_LE(device.calls, 2 * length / row.block_size + 16) << device.calls;
}

// Every byte: the pair table with its vector test, the one-pass search of all
// headers (Vectorscan) and the plain pair table find the same files, on real
// samples at odd offsets and on the big ones.
TEST(EveryByteSearch, AllThreeSearchesFindTheSameFiles) {
    qv::test::temp_dir work;
    auto samples = qv::test::all_samples(work.path().string());
    samples.push_back({"big png", "png", big_png(3, 5)});
    samples.push_back({"big jpg", "jpg", big_jpeg(size_t(3) << 20, 6)});
    for (uint32_t seed : {31u, 32u}) {
        auto laid = qv::test::lay_out(samples, seed, false);
        std::vector<std::vector<std::tuple<std::string, uint64_t, uint64_t>>> results;
        for (const auto& [vector, multi] : {std::pair{true, true}, {false, true}, {false, false}}) {
            qv::memory_device device(laid.image);
            qv::sig::scan_options options;
            options.every_byte = true;
            options.vector_pairs = vector;
            options.multi_pattern = multi;
            options.block_size = size_t(256) << 10;  // files across block ends too
            results.emplace_back();
            qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                                 [&](const char* type, uint64_t offset, uint64_t size) {
                                     results.back().emplace_back(type, offset, size);
                                 });
        }
        EXPECT_EQ(results[0], results[1]) << "seed " << seed;
        EXPECT_EQ(results[0], results[2]) << "seed " << seed;
        ASSERT_EQ(results[0].size(), laid.files.size()) << "seed " << seed;
        for (size_t i = 0; i < laid.files.size(); ++i)
            EXPECT_EQ(std::get<1>(results[0][i]), laid.files[i].offset) << laid.files[i].label;
    }
}

// The block after the one searched is read on another thread when every
// byte is searched: an unreadable run and a device that goes away mid-scan are
// met as they are when one thread reads.
TEST(EveryByteReadAhead, BadSectorsAndAVanishedDeviceAsWithOneReader) {
    std::vector<qv::test::sample> samples = {
        {"pdf", "pdf", qv::test::make_pdf(3, false)},
        {"wav", "wav", qv::test::make_wav(2)},
        {"avi", "avi", qv::test::make_avi(4)},
        {"small jpg", "jpg", big_jpeg(300000, 11)},
        {"big png", "png", big_png(6, 3)},
        {"pdf 2", "pdf", qv::test::make_pdf(2, false)},
    };
    // Files at sector starts with 64 KiB of filler between them: an unreadable
    // run in the filler after the second file, and the device's end (when it
    // goes away) in the filler after the fifth.
    constexpr uint64_t gap = 64 << 10;
    std::vector<uint64_t> offsets;
    uint64_t pos = gap;
    for (const auto& f : samples) {
        offsets.push_back(pos);
        pos = (pos + f.data.size() + 511) / 512 * 512 + gap;
    }
    bytes image = qv::test::pseudo_random_bytes(size_t(pos), 91);
    for (size_t i = 0; i < samples.size(); ++i)
        std::copy(samples[i].data.begin(), samples[i].data.end(), image.begin() + std::ptrdiff_t(offsets[i]));
    const uint64_t length = image.size();
    const uint64_t bad_from = offsets[2] - gap / 2;
    for (bool vanish : {false, true}) {
        for (bool every_byte : {true, false}) {
            counting_device device(image);
            device.bad_from = bad_from;
            device.bad_to = bad_from + 8192;
            if (vanish) device.gone_at = offsets[5] - gap / 2;
            qv::bad_ranges bad;
            qv::sig::scan_options options;
            options.every_byte = every_byte;
            options.block_size = size_t(256) << 10;
            options.bad = &bad;
            std::vector<uint64_t> found;
            const auto end = qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                                                  [&](const char*, uint64_t offset, uint64_t) { found.push_back(offset); });
            const std::string what = std::string(vanish ? "vanishing" : "staying") + (every_byte ? ", every byte" : ", sector starts");
            EXPECT_EQ(bad.total(), 8192u) << what;
            EXPECT_EQ(end, vanish ? qv::sig::scan_end::vanished : qv::sig::scan_end::finished) << what;
            const std::vector<uint64_t> expected(offsets.begin(), vanish ? offsets.begin() + 5 : offsets.end());
            EXPECT_EQ(found, expected) << what;
            EXPECT_LE(device.bytes_read, length) << what;
        }
    }
}

// At sector starts each block is read in two halves on two threads at once:
// the files, the unreadable sectors counted and a device going away mid-scan
// come out as they do with one read per block.
TEST(SectorStartsSplitReads, SameFilesBadSectorsAndEndAsOneRead) {
    qv::test::temp_dir work;
    auto samples = qv::test::all_samples(work.path().string());
    samples.push_back({"big png", "png", big_png(3, 5)});
    samples.push_back({"big jpg", "jpg", big_jpeg(size_t(3) << 20, 6)});
    auto laid = qv::test::lay_out(samples, 41, true);
    const uint64_t length = laid.image.size();
    ASSERT_GT(length, uint64_t(6) << 20);
    struct outcome {
        std::vector<std::tuple<std::string, uint64_t, uint64_t>> files;
        uint64_t bad = 0;
        qv::sig::scan_end end = qv::sig::scan_end::finished;
        bool operator==(const outcome&) const = default;
    };
    // An unreadable run in the second half of a block (where the other thread
    // reads it), or the device's end (when it goes away) there.
    const uint64_t fault_at = (uint64_t(4) << 20) + (uint64_t(3) << 18);
    for (const char* fault : {"none", "bad sectors", "vanishing"}) {
        for (size_t block : {size_t(1) << 20, size_t(256) << 10}) {
            std::vector<outcome> results;
            for (bool split : {true, false}) {
                counting_device device(laid.image);
                if (std::string(fault) == "bad sectors") {
                    device.bad_from = fault_at;
                    device.bad_to = fault_at + 4096;
                } else if (std::string(fault) == "vanishing") {
                    device.gone_at = fault_at;
                }
                qv::bad_ranges bad;
                qv::sig::scan_options options;
                options.block_size = block;
                options.split_reads = split;
                options.bad = &bad;
                outcome got;
                got.end = qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                                               [&](const char* type, uint64_t offset, uint64_t size) {
                                                   got.files.emplace_back(type, offset, size);
                                               });
                got.bad = bad.total();
                EXPECT_LE(device.bytes_read, length + (uint64_t(1) << 20)) << fault;
                if (std::string(fault) == "none") {
                    EXPECT_EQ(device.untouched_sectors(), 0u);
                }
                results.push_back(got);
            }
            const std::string what = std::string(fault) + ", block " + std::to_string(block);
            EXPECT_EQ(results[0], results[1]) << what;
            if (std::string(fault) == "none") {
                ASSERT_EQ(results[0].files.size(), laid.files.size()) << what;
                for (size_t i = 0; i < laid.files.size(); ++i)
                    EXPECT_EQ(std::get<1>(results[0].files[i]), laid.files[i].offset) << laid.files[i].label;
            }
            if (std::string(fault) == "bad sectors") {
                EXPECT_EQ(results[0].bad, 4096u) << what;
            }
            if (std::string(fault) == "vanishing") {
                EXPECT_EQ(results[0].end, qv::sig::scan_end::vanished) << what;
                EXPECT_FALSE(results[0].files.empty()) << what;
                for (const auto& f : results[0].files) EXPECT_LT(std::get<1>(f), fault_at) << what;
            }
        }
    }
}

// Once a sector fails to read, blocks are read whole, one after the other, as
// a failing drive is best read; also where the caller keeps no list of bad sectors.
TEST(SectorStartsSplitReads, AfterAnUnreadableSectorBlocksAreReadWhole) {
    const bytes image = qv::test::pseudo_random_bytes(size_t(12) << 20, 8);
    const uint64_t bad_from = (uint64_t(3) << 20) + (uint64_t(3) << 18);
    for (bool keep_list : {true, false}) {
        std::vector<std::vector<uint64_t>> after;
        for (bool split : {true, false}) {
            counting_device device(image);
            device.bad_from = bad_from;
            device.bad_to = bad_from + 4096;
            qv::bad_ranges bad;
            qv::sig::scan_options options;
            options.split_reads = split;
            options.bad = keep_list ? &bad : nullptr;
            qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                                 [](const char*, uint64_t, uint64_t) {});
            after.emplace_back();
            for (uint64_t start : device.starts)
                if (start >= bad_from + (uint64_t(1) << 20)) after.back().push_back(start);
        }
        EXPECT_FALSE(after[1].empty());
        EXPECT_EQ(after[0], after[1]) << (keep_list ? "with" : "without") << " a list of bad sectors";
    }
}

// Held to one processor, a scan reads each block whole: the two halves
// would only take turns there, and each hand-over would wait on the other.
TEST(SectorStartsSplitReads, AScanHeldToOneProcessorReadsEachBlockWhole) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "this machine gives the test one processor";
    const bytes image = qv::test::pseudo_random_bytes(size_t(8) << 20, 5);
    auto reads = [&](bool held) {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        if (held) {
            EXPECT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        }
        counting_device device(image);
        qv::sig::scan_device(device, qv::sig::default_config(), {}, nullptr, [](const char*, uint64_t, uint64_t) {});
        if (held) {
            EXPECT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
        }
        EXPECT_EQ(device.untouched_sectors(), 0u);
        return device.calls;
    };
    const uint64_t free_to_move = reads(false), held = reads(true);
    EXPECT_LE(held, 8u + 2u) << "one read per 1 MiB block";
    EXPECT_GE(free_to_move, 2 * 8u) << "two halves per block";
}

INSTANTIATE_TEST_SUITE_P(Scans, ReadOnce,
                         ::testing::Values(read_row{"SectorStarts", false, size_t(1) << 20},
                                           read_row{"EveryByte", true, size_t(1) << 20},
                                           read_row{"SectorStartsSmallBlocks", false, size_t(64) << 10},
                                           read_row{"EveryByteSmallBlocks", true, size_t(64) << 10}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
