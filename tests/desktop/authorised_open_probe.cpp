// Opens a loop device the user may not read, through udisks2 or the pkexec
// helper. Run by authorised_open.sh as an unprivileged user against private
// daemons; it says what it expects in the environment:
//   QV_DEVICE   the loop device      QV_IMAGE  its image file (readable)
//   QV_ROUTE    udisks | helper      QV_EXPECT granted | refused
//   QV_IN_USE   1 when the device is mounted (opened without an exclusive claim)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "devices/device_catalog.hpp"
#include "devices/open_routes.hpp"
#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"
#include "engine/volume_free_space.hpp"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

class authorised_open : public ::testing::Test {
protected:
    void SetUp() override {
        device = env("QV_DEVICE");
        if (device.empty()) GTEST_SKIP() << "run by authorised_open.sh against its private daemons";
        ASSERT_NE(getuid(), 0u) << "must run as an unprivileged user";
        ASSERT_LT(::open(device.c_str(), O_RDONLY | O_CLOEXEC), 0) << "the user must not read " << device;
        std::ifstream in(env("QV_IMAGE"), std::ios::binary);
        first_sector.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_GE(first_sector.size(), 512u);
        first_sector.resize(512);
        granted = env("QV_EXPECT") == "granted";
        in_use = env("QV_IN_USE") == "1";
        route = env("QV_ROUTE");
        ASSERT_TRUE(route == "udisks" || route == "helper") << route;
    }

    void expect_first_sector(int fd) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY) << "a scan's descriptor is read-only";
        std::string got(512, '\0');
        ASSERT_EQ(::pread(fd, got.data(), got.size(), 0), 512);
        EXPECT_EQ(got, first_sector);
    }

    std::string device, route;
    std::string first_sector;
    bool granted = false, in_use = false;
};

TEST_F(authorised_open, the_route_gives_a_read_only_descriptor_or_says_why_not) {
    qv::route_result r = route == "udisks" ? qv::open_with_udisks(device, qv::access_mode::read_only)
                                           : qv::open_with_helper(device, qv::find_open_helper());
    EXPECT_FALSE(r.unavailable) << r.error;
    if (granted) {
        expect_first_sector(r.fd);
        EXPECT_EQ(r.in_use, in_use);
        ::close(r.fd);
        return;
    }
    EXPECT_EQ(r.fd, -1);
    EXPECT_NE(r.error.find("not authorised"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(device), std::string::npos) << r.error;
    if (route == "udisks") {
        EXPECT_EQ(r.error_name, "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain");
        EXPECT_NE(r.error.find("NotAuthorizedCanObtain"), std::string::npos) << r.error;
    }
}

// The catalog's one open function takes the same route after plain open() is refused,
// from the main thread (local event loop) and from a worker thread (blocking wait).
TEST_F(authorised_open, the_catalog_opens_through_it_from_any_thread) {
    qv::device_catalog catalog;
    std::vector<qv::open_notice> notices;
    std::mutex m;
    catalog.set_open_notice([&](qv::open_notice n, const std::string& path) {
        std::lock_guard lock(m);
        EXPECT_EQ(path, device);
        notices.push_back(n);
    });
    for (bool worker : {false, true}) {
        SCOPED_TRACE(worker ? "worker thread" : "main thread");
        notices.clear();
        std::unique_ptr<qv::device_handle> handle;
        std::string error;
        auto open = [&] { handle = catalog.open(device, qv::access_mode::read_only, &error); };
        if (worker)
            std::thread(open).join();
        else
            open();
        ASSERT_FALSE(notices.empty());
        EXPECT_EQ(notices.front(), qv::open_notice::asking_password);
        EXPECT_EQ(std::count(notices.begin(), notices.end(), qv::open_notice::in_use), granted && in_use ? 1 : 0);
        if (!granted) {
            EXPECT_EQ(handle, nullptr);
            EXPECT_NE(error.find("not authorised"), std::string::npos) << error;
            continue;
        }
        ASSERT_NE(handle, nullptr) << error;
        std::string got(512, '\0');
        ASSERT_TRUE(handle->read_exact(0, got.data(), got.size()));
        EXPECT_EQ(got, first_sector);
        EXPECT_EQ(handle->write_at(0, got.data(), 1), -1);
    }
    std::string error;
    EXPECT_EQ(catalog.open(device, qv::access_mode::read_only, &error, qv::open_asking::never_ask), nullptr)
        << "never_ask must not use a route";
}

TEST_F(authorised_open, the_listing_marks_the_device_as_needing_authorisation) {
    qv::device_catalog catalog;
    auto drives = catalog.drives();
    auto d = std::find_if(drives.begin(), drives.end(), [&](const auto& x) { return x.path == device; });
    ASSERT_NE(d, drives.end()) << device << " is not listed for this user";
    EXPECT_FALSE(d->ready);
    EXPECT_TRUE(d->needs_authorization);
    EXPECT_EQ(d->size, uint64_t(std::stoull(env("QV_SIZE"))));
    auto volumes = catalog.volumes();
    auto v = std::find_if(volumes.begin(), volumes.end(), [&](const auto& x) { return x.path == device; });
    ASSERT_NE(v, volumes.end()) << "the whole-device volume is listed from udev's database";
    EXPECT_TRUE(v->needs_authorization);
    EXPECT_EQ(v->file_system, "FAT16");
    EXPECT_EQ(v->label, "QVAUTH");
}

// The sector layer opens every drive when the program starts: it must not
// ask for a password then; the password is asked when a volume is scanned.
TEST_F(authorised_open, nothing_is_asked_at_start_up) {
    auto& catalog = qv::device_catalog::shared();
    std::vector<qv::open_notice> notices;
    catalog.set_open_notice([&](qv::open_notice n, const std::string&) { notices.push_back(n); });
    open_physical_drives();
    int number = -1;
    for (const auto& d : catalog.drives())
        if (d.path == device) number = d.number;
    ASSERT_GE(number, 0);
    EXPECT_TRUE(notices.empty()) << "no password is asked at start-up";
    EXPECT_TRUE(device_status(uint8_t(number)) & DEVICE_NOT_READY);
    // The start-up worker also lists the volumes and counts the free space of unmounted ones.
    enumerate_drives();
    enumerate_volumes();
    qv::count_unmounted_free_space(volume_items);
    EXPECT_TRUE(notices.empty()) << "counting free space asked for a password";
    qv::close_physical_drives();
    catalog.set_open_notice({});
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
