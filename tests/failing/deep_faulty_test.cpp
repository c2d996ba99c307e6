// The deep scan over the FUSE faulty disk: 100 unreadable 4 KiB areas among
// real files, a disk that vanishes midway, and a scan killed midway that goes
// on from its checkpoint to the same result.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "engine/deep_checkpoint.hpp"
#include "engine/scan_result_file.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/faulty_disk.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

namespace {

using qv::test::shell_quote;

struct area {
    uint64_t offset, length;
};

uint64_t overlap(const std::vector<area>& bad, uint64_t offset, uint64_t size) {
    uint64_t n = 0;
    for (const auto& b : bad) {
        uint64_t lo = std::max(offset, b.offset), hi = std::min(offset + size, b.offset + b.length);
        if (lo < hi) n += hi - lo;
    }
    return n;
}

// copies of every sample at sector starts, random bytes between.
qv::test::laid_image make_card(const std::string& work, int copies = 3) {
    auto one = qv::test::all_samples(work);
    std::vector<qv::test::sample> samples;
    for (int copy = 0; copy < copies; ++copy) samples.insert(samples.end(), one.begin(), one.end());
    return qv::test::lay_out(samples, 16, true);
}

// count 4 KiB areas at distinct 4 KiB-aligned places.
std::vector<area> bad_areas(uint64_t size, int count, uint32_t seed) {
    std::mt19937_64 gen(seed);
    std::set<uint64_t> at;
    while (int(at.size()) < count) at.insert(gen() % (size / 4096) * 4096);
    std::vector<area> out;
    for (uint64_t a : at) out.push_back({a, 4096});
    return out;
}

class DeepScanFaultyDisk : public testing::Test {
protected:
    void SetUp() override {
        card = make_card(dir / "work");
        qv::test::write_file(dir / "card.img", card.image);
        clean = qv::test::scan_memory(card.image);
        ASSERT_GT(clean.size(), 50u);
    }
    std::vector<uint8_t> slice(uint64_t offset, uint64_t size) const {
        return {card.image.begin() + std::ptrdiff_t(offset), card.image.begin() + std::ptrdiff_t(offset + size)};
    }
    qv::test::temp_dir dir;
    qv::test::laid_image card;
    std::vector<qv::test::found_item> clean;
};

TEST_F(DeepScanFaultyDisk, FilesClearOfBadAreasComeBackExactAndTheOthersAreDamagedByTheRightCount) {
    const auto bad = bad_areas(card.image.size(), 100, 7);
    qv::test::faulty_options options;
    for (const auto& b : bad) options.bad.push_back({b.offset, b.length, 0});
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "card.img", dir / "mnt", options);

    raw_recovery_c engine;
    qv::test::run_engine(engine, disk.path());
    EXPECT_EQ(engine.unreadable_bytes(), 100u * 4096) << "every bad area is met once";
    EXPECT_FALSE(engine.device_vanished());
    const auto found = qv::test::engine_items(engine);

    size_t clear = 0, touching = 0;
    for (const auto& f : clean) {
        if (overlap(bad, f.offset, f.size) != 0) continue;
        ++clear;
        EXPECT_NE(std::find(found.begin(), found.end(), f), found.end())
            << f.type << " at " << f.offset << " touches no bad area and must be found as before";
    }
    for (size_t id = 0; id < found.size(); ++id) {
        const auto& f = found[id];
        const std::string out = dir / ("r" + std::to_string(id));
        ASSERT_EQ(engine.recover_file(id, QString::fromStdString(out)), 0) << f.type << " at " << f.offset;
        auto expected = slice(f.offset, f.size);
        const uint64_t damaged = overlap(bad, f.offset, f.size);
        for (const auto& b : bad)  // unreadable sectors come back as zeros
            for (uint64_t p = std::max(b.offset, f.offset); p < std::min(b.offset + b.length, f.offset + f.size); ++p)
                expected[size_t(p - f.offset)] = 0;
        EXPECT_EQ(qv::test::read_file(out), expected) << f.type << " at " << f.offset;
        EXPECT_EQ(engine.unreadable_in(id), damaged) << f.type << " at " << f.offset;
        touching += damaged ? 1 : 0;
    }
    EXPECT_GT(clear, 40u);
    EXPECT_GT(touching, 0u) << "the bad areas were meant to hit some files";
}

TEST_F(DeepScanFaultyDisk, AVanishedDiskEndsTheScanAndKeepsWhatWasFound) {
    qv::test::faulty_options options;
    options.vanish_after = card.image.size() / 2;
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "card.img", dir / "mnt", options);
    raw_recovery_c engine;
    qv::test::run_engine(engine, disk.path());
    EXPECT_TRUE(engine.device_vanished());
    const auto found = qv::test::engine_items(engine);
    ASSERT_FALSE(found.empty());
    EXPECT_LT(found.size(), clean.size());
    for (const auto& f : found)
        EXPECT_NE(std::find(clean.begin(), clean.end(), f), clean.end()) << f.type << " at " << f.offset;
    EXPECT_EQ(engine.unreadable_bytes(), 0u) << "a vanished disk is not a pile of bad sectors";
}

std::set<std::tuple<std::string, uint64_t, uint64_t>> saved_set(const std::string& sav) {
    std::string error;
    auto result = qv::read_scan_result(sav, ~uint64_t(0), &error, true);
    EXPECT_TRUE(result) << error;
    std::set<std::tuple<std::string, uint64_t, uint64_t>> out;
    if (result)
        for (const auto& r : result->records) out.insert({qv::record_type(r), r.offset, r.size});
    return out;
}

TEST_F(DeepScanFaultyDisk, AScanKilledMidwayGoesOnFromItsCheckpointToTheSameResult) {
    // A card of several 1 MiB blocks, so the scan has places to stop between.
    card = make_card(dir / "work", 10);
    qv::test::write_file(dir / "card.img", card.image);
    qv::test::faulty_options options;
    options.slow.push_back({0, card.image.size(), 20});
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "card.img", dir / "mnt", options);
    const std::string cli = std::string(QUORVANE_CLI) + " scan --deep --checkpoint-every 0.05 ";
    std::string out;
    ASSERT_EQ(qv::test::run("QUORVANE_IMAGES_ONLY=1 " + cli + "--save " + shell_quote(dir / "whole.sav") + " " +
                                shell_quote(disk.path()) + " >/dev/null",
                            &out),
              0)
        << out;
    const auto whole = saved_set(dir / "whole.sav");
    ASSERT_GT(whole.size(), 50u);

    const std::string sav = dir / "part.sav", checkpoint = sav + ".checkpoint";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string command = "exec env QUORVANE_IMAGES_ONLY=1 " + cli + "--save " + shell_quote(sav) + " " +
                                    shell_quote(disk.path()) + " >/dev/null 2>&1";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        ::_exit(127);
    }
    bool midway = false;
    std::string seen = "no checkpoint";
    for (int i = 0; i < 3000 && !midway; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto c = qv::read_deep_checkpoint(checkpoint);
        if (c) seen = std::to_string(c->records.size()) + " files at " + std::to_string(c->position) + " of " +
                      std::to_string(c->device_length);
        midway = c && c->records.size() >= 10 && c->position < c->device_length / 2;
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            break;
        }
    }
    if (child > 0) {
        ::kill(child, SIGKILL);  // as a power cut would
        ::waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(midway) << "the scan ended before it could be interrupted; last seen: " << seen;
    EXPECT_FALSE(std::filesystem::exists(sav));

    ASSERT_EQ(qv::test::run("QUORVANE_IMAGES_ONLY=1 " + cli + "--resume --save " + shell_quote(sav) + " " +
                                shell_quote(disk.path()) + " 2>&1 >/dev/null",
                            &out),
              0)
        << out;
    EXPECT_NE(out.find("going on from"), std::string::npos) << out;
    EXPECT_EQ(saved_set(sav), whole);
    EXPECT_FALSE(std::filesystem::exists(checkpoint)) << "a finished scan leaves no checkpoint";
}

}  // namespace
