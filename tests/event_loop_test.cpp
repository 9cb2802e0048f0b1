#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "fake_device.h"

namespace {

const char* const programs[] = {"bgfreeze_sys", "bgfreeze_dev", "bgfreeze_signal"};

std::string program_path(const std::string& program)
{
    return std::string(BGFREEZE_BUILD_DIR) + "/" + program;
}

// Starts a shell command in the background and returns its pid.
pid_t start(const std::string& command)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Polls until the fake device's call record holds `text`, for at most five seconds.
bool wait_for_call(const fake_device& device, const std::string& text, size_t times = 1)
{
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::string calls = device.read("calls");
        size_t count = 0;
        for (size_t at = calls.find(text); at != std::string::npos; at = calls.find(text, at + 1))
            ++count;
        if (count >= times)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class event_loop : public ::testing::TestWithParam<const char*> {};

TEST_P(event_loop, without_a_pipe_it_says_so_and_exits_with_1_before_any_check)
{
    fake_device device;
    pid_t daemon = fork();
    if (daemon == 0) {
        int out = open(device.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        // One descriptor beyond the standard three: enough for the loader, too few for a pipe.
        struct rlimit limit = {4, 4};
        setrlimit(RLIMIT_NOFILE, &limit);
        std::string path = program_path(GetParam());
        execl(path.c_str(), path.c_str(), "an", "ignored", "argument", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(daemon, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(device.read("stdout"), "Failed to run command\n");
    EXPECT_EQ(device.read("calls"), "");
}

TEST_P(event_loop, checks_only_after_the_watcher_ends_and_then_watches_again)
{
    fake_device device;
    ASSERT_EQ(mkfifo(device.path("cpuset").c_str(), 0600), 0);
    device.set_am(task_line("com.example.eventloop"));
    pid_t daemon = start("exec '" + program_path(GetParam()) + "' --help -x > '" +
                         device.path("stdout") + "'");

    const std::string watch = "inotifywait -e modify /dev/cpuset/top-app\n";
    ASSERT_TRUE(wait_for_call(device, watch));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(device.read("calls"), watch) << "a check ran before the first change";

    int cpuset = open(device.path("cpuset").c_str(), O_WRONLY);
    ASSERT_GE(cpuset, 0);
    ASSERT_EQ(write(cpuset, "1\n", 2), 2);
    close(cpuset);
    EXPECT_TRUE(wait_for_call(device, watch, 2));
    std::string calls = device.read("calls");
    EXPECT_NE(calls.find("am stack list"), std::string::npos);
    EXPECT_NE(calls.find("pm list package -s"), std::string::npos);
    EXPECT_NE(calls.find("dumpsys activity lru"), std::string::npos);
    EXPECT_EQ(calls.rfind(watch), calls.size() - watch.size()) << "the next watcher starts last";

    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    // Let the orphaned stand-in watcher end: opening the FIFO and closing it gives it an end of file.
    int release = open(device.path("cpuset").c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0)
        close(release);
    EXPECT_EQ(device.read("stdout"), "") << "the daemon writes nothing of its own";
}

INSTANTIATE_TEST_SUITE_P(programs, event_loop, ::testing::ValuesIn(programs));

}  // namespace
