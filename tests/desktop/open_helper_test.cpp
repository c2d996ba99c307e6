// The pkexec open helper run directly (as the user who runs the tests, without
// pkexec): what it passes back over its socket, what it refuses, and the
// descriptor passing both ends share.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "devices/fd_passing.hpp"
#include "tests/support/test_support.hpp"

extern char** environ;

namespace {

using qv::passed_status;

struct helper_answer {
    int exit_code = -1;
    int fd = -1;
    passed_status status = passed_status(0);
    std::string note;
    ~helper_answer() {
        if (fd >= 0) ::close(fd);
    }
};

// Runs the helper with one end of a socket pair (or /dev/null) as its standard output.
void run_helper(const std::vector<std::string>& args, helper_answer* out, bool socket_out = true) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, socket_out ? pair[1] : null_fd, STDOUT_FILENO);
    std::vector<std::string> all{QUORVANE_OPEN_HELPER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, QUORVANE_OPEN_HELPER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    ::close(null_fd);
    ASSERT_EQ(rc, 0) << "cannot start " << QUORVANE_OPEN_HELPER;
    out->fd = qv::receive_passed_fd(pair[0], 30000, &out->status, &out->note);
    ::close(pair[0]);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus));
    out->exit_code = WEXITSTATUS(wstatus);
}

struct refusal_row {
    const char* what;
    std::vector<std::string> args;
    const char* note_part;
};

class open_helper_refuses : public ::testing::TestWithParam<refusal_row> {};

TEST_P(open_helper_refuses, with_a_note_and_no_descriptor) {
    helper_answer a;
    run_helper(GetParam().args, &a);
    EXPECT_EQ(a.exit_code, 1);
    EXPECT_EQ(a.status, passed_status::refused);
    EXPECT_EQ(a.fd, -1);
    EXPECT_NE(a.note.find(GetParam().note_part), std::string::npos) << a.note;
}

qv::test::temp_dir& shared_dir() {
    static qv::test::temp_dir dir;
    return dir;
}

std::string regular_file() {
    std::string path = shared_dir() / "plain.img";
    qv::test::write_file(path, std::vector<uint8_t>(4096, 0x5a));
    return path;
}

INSTANTIATE_TEST_SUITE_P(
    rows, open_helper_refuses,
    ::testing::Values(refusal_row{"regular file", {regular_file()}, "not a block device"},
                      refusal_row{"character device", {"/dev/null"}, "not a block device"},
                      refusal_row{"missing path", {"/dev/quorvane-no-such-disk"}, "No such file"},
                      refusal_row{"relative path", {"dev/sda"}, "usage"},
                      refusal_row{"no path", {}, "usage"},
                      refusal_row{"two paths", {"/dev/null", "/dev/zero"}, "usage"}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(open_helper, refuses_to_run_when_its_output_is_not_a_socket) {
    helper_answer a;
    run_helper({"/dev/null"}, &a, false);
    EXPECT_EQ(a.exit_code, 2);
}

TEST(open_helper, passes_a_read_only_descriptor_of_a_loop_device) {
    qv::test::temp_dir dir;
    std::string img = dir / "disk.img";
    std::vector<uint8_t> bytes = qv::test::pseudo_random_bytes(1 << 20, 15);
    qv::test::write_file(img, bytes);
    qv::test::loop_device loop;
    std::string why;
    if (!loop.attach(img, false, &why)) GTEST_SKIP() << why;

    helper_answer a;
    run_helper({loop.path()}, &a);
    ASSERT_EQ(a.exit_code, 0) << a.note;
    ASSERT_GE(a.fd, 0);
    EXPECT_EQ(a.status, passed_status::opened);
    EXPECT_EQ(::fcntl(a.fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(::fcntl(a.fd, F_GETFD) & FD_CLOEXEC);
    std::vector<uint8_t> first(512);
    ASSERT_EQ(::pread(a.fd, first.data(), first.size(), 0), 512);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), bytes.begin()));
    std::vector<uint8_t> last(512);
    ASSERT_EQ(::pread(a.fd, last.data(), last.size(), off_t(bytes.size() - 512)), 512);
    EXPECT_TRUE(std::equal(last.begin(), last.end(), bytes.end() - 512));
    EXPECT_LT(::pwrite(a.fd, first.data(), 1, 0), 0) << "the descriptor must not allow writing";
}

TEST(fd_passing, a_descriptor_and_its_note_arrive_together) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    ASSERT_EQ(qv::send_passed_fd(pair[1], passed_status::in_use, "/dev/sdz is in use", pipe_fds[0]), 0);
    ::close(pipe_fds[0]);
    passed_status status = passed_status(0);
    std::string note;
    int fd = qv::receive_passed_fd(pair[0], 1000, &status, &note);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(status, passed_status::in_use);
    EXPECT_EQ(note, "/dev/sdz is in use");
    ASSERT_EQ(::write(pipe_fds[1], "q", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(fd, &c, 1), 1);
    EXPECT_EQ(c, 'q') << "the received descriptor is the pipe that was sent";
    ::close(fd);
    ::close(pipe_fds[1]);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(fd_passing, a_closed_socket_and_a_silent_one_are_told_apart) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    passed_status status = passed_status(0);
    std::string note = "untouched";
    EXPECT_EQ(qv::receive_passed_fd(pair[0], 50, &status, &note), -1);
    EXPECT_EQ(status, passed_status(0)) << "a timeout leaves the status alone";
    ::close(pair[1]);
    EXPECT_EQ(qv::receive_passed_fd(pair[0], 1000, &status, &note), -1);
    EXPECT_EQ(status, passed_status::refused);
    EXPECT_TRUE(note.empty());
    ::close(pair[0]);
}

TEST(fd_passing, a_message_with_an_unknown_status_is_refused_and_its_descriptor_closed) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(::write(pair[1], "Zgarbage", 8), 8);
    passed_status status = passed_status(0);
    std::string note;
    EXPECT_EQ(qv::receive_passed_fd(pair[0], 1000, &status, &note), -1);
    EXPECT_EQ(status, passed_status::refused);
    EXPECT_NE(note.find("not understood"), std::string::npos);
    ::close(pair[0]);
    ::close(pair[1]);
}

}  // namespace
