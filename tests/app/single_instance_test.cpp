// Two real copies of the desktop program: the second one exits with -1 at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/test_support.hpp"

namespace {

pid_t start_program(const std::string& runtime_dir) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QUORVANE_IMAGES_ONLY", "1", 1);
        execl(QUORVANE_GUI, QUORVANE_GUI, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

TEST(single_instance, a_second_copy_exits_with_minus_one_and_the_first_runs_on) {
    if (!std::filesystem::exists(QUORVANE_GUI)) GTEST_SKIP() << "the desktop program is not built";
    qv::test::temp_dir runtime;
    std::filesystem::permissions(runtime.path(), std::filesystem::perms::owner_all);
    pid_t first = start_program(runtime.path().string());
    ASSERT_GT(first, 0);
    auto lock = runtime.path() / "Quorvane.lock";
    for (int i = 0; i < 200 && !std::filesystem::exists(lock); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(std::filesystem::exists(lock)) << "the first copy never took the lock";

    pid_t second = start_program(runtime.path().string());
    int status = 0;
    ASSERT_EQ(waitpid(second, &status, 0), second);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255) << "exit code -1";

    EXPECT_EQ(waitpid(first, &status, WNOHANG), 0) << "the first copy is still running";
    kill(first, SIGTERM);
    waitpid(first, &status, 0);
}

}  // namespace
