// Pause, stop and progress reach a running scan from another thread.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <thread>

#include "sigscan/sc_api.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// A sparse image: large, costs no disk space, reads as zeros (plus a few bytes).
std::string sparse_image(const qv::test::temp_dir& dir, uint64_t size, const std::string& head = {}) {
    std::string path = dir / "sparse.img";
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, off_t(size)), 0);
    if (!head.empty()) {
        EXPECT_EQ(::pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    }
    ::close(fd);
    return path;
}

bool wait_for(const std::function<bool()>& condition, double timeout) {
    auto start = clock_type::now();
    while (!condition()) {
        if (seconds_since(start) > timeout) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(SigscanControl, EnginePausesHoldsAndStops) {
    qv::test::temp_dir dir;
    std::string image = sparse_image(dir, uint64_t(8) << 30);
    raw_recovery_c engine;
    volume_item_s volume;
    volume.volume_name = QString::fromStdString(image);
    engine.set_volume(volume);
    engine.set_every_byte(true);  // slow enough to be caught running
    engine.start();
    ASSERT_TRUE(wait_for([&] { return engine.progress() > 0.0; }, 30));
    double last = 0;
    for (int i = 0; i < 5; ++i) {  // progress only rises
        double p = engine.progress();
        EXPECT_GE(p, last);
        last = p;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    engine.set_paused(1);
    EXPECT_EQ(engine.is_paused(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double held = engine.progress();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(engine.progress(), held) << "the scan went on while paused";
    EXPECT_FALSE(engine.isFinished());
    engine.set_paused(0);
    ASSERT_TRUE(wait_for([&] { return engine.progress() > held; }, 10)) << "did not resume";
    auto asked = clock_type::now();
    engine.set_stop(qv::stop_reason::user_stopped);
    ASSERT_TRUE(engine.wait(5000));
    std::cout << "stopped " << seconds_since(asked) << " s after the request\n";
    EXPECT_EQ(engine.stop_state(), qv::stop_reason::user_stopped);
    EXPECT_LT(engine.progress(), 1.0);
}

TEST(SigscanControl, StopWhilePausedAndFinishedScanReachesOne) {
    qv::test::temp_dir dir;
    std::string image = sparse_image(dir, 64 << 20);
    sc_context_s context{};
    qv::sc_context_set_paused(context, 1);
    int32_t result = -2;
    std::thread scan([&] { result = sc_scan(&context, image.c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(qv::sc_context_scanned(context), 0.0);
    auto asked = clock_type::now();
    qv::sc_context_set_stop(context, 2);
    scan.join();
    std::cout << "a paused scan stopped " << seconds_since(asked) << " s after the request\n";
    EXPECT_EQ(result, 1);
    EXPECT_EQ(qv::sc_context_scanned(context), 0.0) << "a paused scan read on";

    sc_context_s fresh{};
    EXPECT_EQ(sc_scan(&fresh, image.c_str()), 0);
    EXPECT_EQ(qv::sc_context_scanned(fresh), 1.0);
    EXPECT_EQ(sc_scan(&fresh, (dir / "missing.img").c_str()), -1);
}

TEST(SigscanControl, StopReachesALongMeasurement) {
    // A bzip2 header over a gigabyte of zeros: the search for its end runs long.
    qv::test::temp_dir dir;
    std::string image = sparse_image(dir, uint64_t(2) << 30, "BZh91AY&SY");
    sc_context_s context{};
    int32_t result = -2;
    auto begin = clock_type::now();
    std::thread scan([&] { result = sc_scan(&context, image.c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto asked = clock_type::now();
    qv::sc_context_set_stop(context, 3);
    scan.join();
    double latency = seconds_since(asked);
    EXPECT_EQ(result, 1);
    EXPECT_LT(qv::sc_context_scanned(context), 1.0) << "the scan ran to the end instead of stopping";
    std::cerr << "stopped after " << seconds_since(begin) << " s, " << latency << " s after the request\n";
}

}  // namespace
