#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "../daemon/check_foreground.h"
#include "../daemon/globals.h"
#include "fake_device.h"
#include "recording_backend.h"

namespace {

// While it lives, no file descriptor can be made, so the kernel refuses every pipe. Process-wide.
struct no_free_descriptors {
    rlimit saved;

    no_free_descriptors()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        int lowest_free = open("/dev/null", O_RDONLY);
        close(lowest_free);
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(lowest_free);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }

    ~no_free_descriptors() { setrlimit(RLIMIT_NOFILE, &saved); }
};

// The start of the commands whose pipe the kernel refuses ("" for every command); none when null.
const char* refused_commands = nullptr;

}  // namespace

// In front of libc's popen: a refused command gets the real popen all the same, run while no
// file descriptor is free, so that it fails as it does on a device out of descriptors.
extern "C" FILE* popen(const char* command, const char* mode)
{
    using popen_function = FILE* (*)(const char*, const char*);
    static const auto real_popen = reinterpret_cast<popen_function>(dlsym(RTLD_NEXT, "popen"));
    if (refused_commands == nullptr || std::strncmp(command, refused_commands, std::strlen(refused_commands)) != 0)
        return real_popen(command, mode);
    no_free_descriptors limit;
    return real_popen(command, mode);
}

namespace {

const std::string mail = "com.example.mail";
const std::string browser = "com.example.browser";

std::string log_line(const std::string& package)
{
    return u8"离开" + package + u8" 送入vexlo\n";
}

// The device's state at one event and what the event must do.
struct event {
    std::string foreground;  // package of the top task; empty: no task line at all
    std::string list_file;
    std::string system;      // "pm list package -s" output
    std::string lru;         // "dumpsys activity lru" output
    std::vector<std::string> calls;
    std::string logged;
    std::string previous_after;
};

struct scenario {
    const char* name;
    std::vector<event> events;
};

void PrintTo(const scenario& s, std::ostream* os)
{
    *os << s.name;
}

class check_foreground_events : public ::testing::TestWithParam<scenario> {};

TEST_P(check_foreground_events, thaws_freezes_and_logs)
{
    fake_device device;
    for (const event& e : GetParam().events) {
        backend_calls.clear();
        device.set_am(e.foreground.empty() ? "Stack id=0 bounds=[0,0][1080,2340]\n"
                                           : "Stack id=1\n" + task_line(e.foreground));
        device.write("vexlo名单.conf", e.list_file);
        device.set_pm(e.system);
        device.set_dumpsys(e.lru);
        std::string log_before = device.read("vexlo日志.log");

        check_foreground();

        EXPECT_EQ(backend_calls, e.calls);
        EXPECT_EQ(device.read("vexlo日志.log"), log_before + e.logged);
        EXPECT_EQ(previous_package, e.previous_after);
    }
}

// Foreground-service lines of other apps whose names alone fill more than 1024 bytes.
std::string many_fgs_lines()
{
    std::string lines;
    for (int app = 0; app < 80; ++app)
        lines += lru_line("com.other.app" + std::to_string(app), "FGS");
    return lines;
}

const std::string system_list = "package:com.android.settings\npackage:" + mail + "\n";

INSTANTIATE_TEST_SUITE_P(
    events, check_foreground_events,
    ::testing::Values(
        scenario{"first_change_freezes_nothing", {{mail, "", "", "", {"thaw " + mail}, "", mail}}},
        scenario{"same_package_twice_does_nothing",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail}, {mail, "", "", "", {}, "", mail}}},
        scenario{"no_task_at_start_does_nothing", {{"", "", "", "", {}, "", ""}}},
        scenario{"a_to_b_thaws_b_then_freezes_and_logs_a",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", "", {"thaw " + browser, "freeze " + mail}, log_line(mail), browser}}},
        scenario{"a_to_b_and_back_freezes_b",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", "", {"thaw " + browser, "freeze " + mail}, log_line(mail), browser},
                  {mail, "", "", "", {"thaw " + mail, "freeze " + browser}, log_line(browser), mail}}},
        scenario{"system_package_is_spared",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", system_list, "", {"thaw " + browser}, "", browser}}},
        scenario{"listed_package_is_spared",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "# mine\n" + mail + "\n", "", "", {"thaw " + browser}, "", browser}}},
        scenario{"fgs_package_is_spared",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", lru_line(mail, "FGS"), {"thaw " + browser}, "", browser}}},
        scenario{"fgs_match_inside_a_longer_name_spares",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", lru_line(mail + "x", "TOP"), {"thaw " + browser}, "", browser}}},
        scenario{"fgs_match_past_1024_bytes_does_not_spare",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", many_fgs_lines() + lru_line(mail, "FGS"),
                   {"thaw " + browser, "freeze " + mail}, log_line(mail), browser}}},
        scenario{"list_entries_that_are_not_exact_do_not_spare",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, mail + "\r\nCOM.EXAMPLE.MAIL\n " + mail + "\ncom.example\n", "", "",
                   {"thaw " + browser, "freeze " + mail}, log_line(mail), browser}}},
        scenario{"change_to_no_task_freezes_then_next_change_freezes_nothing",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {"", "", "", "", {"thaw ", "freeze " + mail}, log_line(mail), ""},
                  {browser, "", "", "", {"thaw " + browser}, "", browser}}},
        scenario{"frozen_package_added_to_the_list_stays_frozen_until_foreground",
                 {{mail, "", "", "", {"thaw " + mail}, "", mail},
                  {browser, "", "", "", {"thaw " + browser, "freeze " + mail}, log_line(mail), browser},
                  {browser, mail + "\n", "", "", {}, "", browser},
                  {mail, mail + "\n", "", "", {"thaw " + mail, "freeze " + browser}, log_line(browser), mail}}}),
    [](const ::testing::TestParamInfo<scenario>& info) { return std::string(info.param.name); });

TEST(check_foreground, log_line_is_written_after_the_freeze)
{
    fake_device device;
    log_size_at_freeze.clear();
    device.set_am(task_line(mail));
    check_foreground();
    device.set_am(task_line(browser));
    check_foreground();
    ASSERT_EQ(log_size_at_freeze, std::vector<size_t>{0});
    EXPECT_EQ(device.read("vexlo日志.log"), log_line(mail));
}

TEST(check_foreground, every_query_runs_once_at_every_event_even_without_a_change)
{
    fake_device device;
    device.set_am(task_line(mail));
    for (int round = 1; round <= 2; ++round) {
        check_foreground();
        // The top-task query runs alongside the others, so only the count of each is fixed.
        std::string calls = device.read("calls");
        for (const char* call : {"am stack list\n", "pm list package -s\n", "dumpsys activity lru\n"}) {
            size_t count = 0;
            for (size_t at = calls.find(call); at != std::string::npos; at = calls.find(call, at + 1))
                ++count;
            EXPECT_EQ(count, size_t(round)) << call;
        }
    }
}

// ---- Queries that cannot be started ------------------------------------------------------------

size_t open_descriptors()
{
    size_t count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (readdir(fds) != nullptr)
        ++count;
    closedir(fds);
    return count;
}

// Mail, in front at the last event, leaves it for the browser while one query cannot be started.
struct refusal {
    const char* name;
    const char* refused;
    std::string system;  // "pm list package -s" output
    std::string lru;     // "dumpsys activity lru" output
    std::vector<std::string> calls_next_event;
};

void PrintTo(const refusal& r, std::ostream* os)
{
    *os << r.name;
}

class unstartable_query : public ::testing::TestWithParam<refusal> {};

// The event acts on nothing, and the next one, which sees everything, acts on mail as it is then.
TEST_P(unstartable_query, ends_the_event_before_the_change_test)
{
    fake_device device;
    previous_package = mail;
    device.set_am(task_line(browser));
    device.write("vexlo名单.conf", "com.example.listed\n");
    device.set_pm(GetParam().system);
    device.set_dumpsys(GetParam().lru);
    backend_calls.clear();

    const size_t descriptors = open_descriptors();
    refused_commands = GetParam().refused;
    check_foreground();
    refused_commands = nullptr;
    EXPECT_EQ(backend_calls, std::vector<std::string>{});
    EXPECT_EQ(device.read("vexlo日志.log"), "");
    EXPECT_EQ(previous_package, mail);
    EXPECT_EQ(whitelist, package_list{"com.example.listed"}) << "the steps before run all the same";
    EXPECT_EQ(open_descriptors(), descriptors) << "every query that started is closed";

    check_foreground();
    EXPECT_EQ(backend_calls, GetParam().calls_next_event);
    EXPECT_EQ(device.read("vexlo日志.log"), GetParam().calls_next_event.size() == 2 ? log_line(mail) : "");
    EXPECT_EQ(previous_package, browser);
}

INSTANTIATE_TEST_SUITE_P(
    queries, unstartable_query,
    ::testing::Values(
        refusal{"top_task", "am ", "", "", {"thaw " + browser, "freeze " + mail}},
        refusal{"system_packages_while_mail_is_one", "pm ", "package:" + mail + "\n", "", {"thaw " + browser}},
        refusal{"fgs_top_while_mail_plays_in_a_foreground_service", "dumpsys ", "", lru_line(mail, "FGS"),
                {"thaw " + browser}},
        refusal{"every_query", "", "", "", {"thaw " + browser, "freeze " + mail}}),
    [](const ::testing::TestParamInfo<refusal>& info) { return std::string(info.param.name); });

}  // namespace
