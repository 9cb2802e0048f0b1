// The daemon's readers: the list file, the system-package list, the two foreground queries and
// the freeze log, each on the bytes it is given.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "../daemon/check_foreground.h"
#include "../daemon/foreground_queries.h"
#include "../daemon/freeze_log.h"
#include "../daemon/globals.h"
#include "../daemon/system_packages.h"
#include "../daemon/whitelist.h"
#include "fake_device.h"
#include "recording_backend.h"

namespace {

const std::string mail = "com.example.mail";
const std::string browser = "com.example.browser";
const std::string list_file = "vexlo名单.conf";
const std::string log_file = "vexlo日志.log";

// Text whose every byte tells its position (the digit of position % 10), so that a piece cut
// at the wrong place shows.
std::string counted(size_t length)
{
    std::string text;
    for (size_t at = 0; at < length; ++at)
        text += char('0' + at % 10);
    return text;
}

bool exists(const std::string& path)
{
    struct stat path_stat;
    return lstat(path.c_str(), &path_stat) == 0;
}

// Puts stand-ins on PATH in front of the device's tools for as long as it lives. `tool` writes
// each of `writes` as one write, pausing after each, pauses once more, then leaves the file
// "ended" in the device's folder and exits with `status`. grep and awk pass their input on
// unchanged and exit with `status` too, so a reader gets exactly these bytes, in these separate
// writes, from a pipeline whose exit status is `status`.
struct raw_output {
    std::string saved_path;

    raw_output(const fake_device& device, const std::string& tool, const std::vector<std::string>& writes,
               int status)
    {
        std::string dir = device.path("raw");
        mkdir(dir.c_str(), 0755);
        std::string script = "#!/bin/sh\n";
        for (size_t index = 0; index < writes.size(); ++index) {
            std::string name = "write." + std::to_string(index);
            device.write(name, writes[index]);
            script += "cat \"$BGFREEZE_FAKE_DEVICE/" + name + "\"\nsleep 0.1\n";
        }
        script += "sleep 0.2\n: > \"$BGFREEZE_FAKE_DEVICE/ended\"\nexit " + std::to_string(status) + "\n";
        std::string filter = "#!/bin/sh\ncat\nexit " + std::to_string(status) + "\n";
        write_tool(device, "raw/" + tool, script);
        write_tool(device, "raw/grep", filter);
        write_tool(device, "raw/awk", filter);
        saved_path = std::getenv("PATH");
        setenv("PATH", (dir + ":" + saved_path).c_str(), 1);
    }

    ~raw_output() { setenv("PATH", saved_path.c_str(), 1); }

    static void write_tool(const fake_device& device, const std::string& name, const std::string& script)
    {
        device.write(name, script);
        chmod(device.path(name).c_str(), 0755);
    }
};

// Bytes a command prints, in separate writes, and the exit status it ends with.
struct raw_case {
    const char* name;
    std::vector<std::string> writes;
    int status;
    std::string expected;
};

void PrintTo(const raw_case& c, std::ostream* os)
{
    *os << c.name;
}

template <typename T>
std::string case_name(const ::testing::TestParamInfo<T>& info)
{
    return info.param.name;
}

// ---- List file -------------------------------------------------------------------------------

struct list_case {
    const char* name;
    std::string content;
    package_list expected;
};

void PrintTo(const list_case& c, std::ostream* os)
{
    *os << c.name;
}

class list_file_lines : public ::testing::TestWithParam<list_case> {};

// The list starts with an entry of an earlier reload, which must be gone afterwards.
TEST_P(list_file_lines, become_whole_entries)
{
    fake_device device;
    device.write(list_file, GetParam().content);
    whitelist = {"stale.entry"};
    reload_whitelist();
    EXPECT_EQ(whitelist, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    whitelist, list_file_lines,
    ::testing::Values(
        list_case{"empty_file", "", {}},
        list_case{"comments_and_empty_lines_only", "# mine\n\n#\n\n\n", {}},
        list_case{"last_line_without_newline", "com.a\n# note\n\ncom.b", {"com.a", "com.b"}},
        list_case{"final_newline_adds_no_entry", "com.a\n# note\n\ncom.b\n", {"com.a", "com.b"}},
        list_case{"hash_counts_only_as_first_byte", "#\n#com.a\n #com.a\ncom.b#x\n", {" #com.a", "com.b#x"}},
        list_case{"carriage_returns_stay", "com.a\r\n\r\n#com.b\r\ncom.c\r\n", {"com.a\r", "\r", "com.c\r"}},
        list_case{"carriage_returns_alone_make_one_line", "com.a\rcom.b\r", {"com.a\rcom.b\r"}},
        list_case{"carriage_returns_alone_after_hash_make_one_comment", "#com.a\rcom.b\r", {}},
        list_case{"byte_order_mark_stays_and_hides_the_hash", "\xef\xbb\xbf#com.a\ncom.b\n",
                  {"\xef\xbb\xbf#com.a", "com.b"}},
        list_case{"blanks_and_trailing_text_stay", " com.a\ncom.b \ncom.c extra\n   \n\t\n",
                  {" com.a", "com.b ", "com.c extra", "   ", "\t"}},
        list_case{"duplicates_stay", "com.a\ncom.a\n", {"com.a", "com.a"}},
        list_case{"nul_and_high_bytes_stay", std::string("com.\0a\n\xff\xfe\n", 10),
                  {std::string("com.\0a", 6), "\xff\xfe"}},
        list_case{"long_lines_stay_whole", counted(1025) + "\n" + counted(5000) + "\n",
                  {counted(1025), counted(5000)}}),
    case_name<list_case>);

TEST(whitelist, missing_file_or_directory_at_the_path_gives_an_empty_list)
{
    fake_device device;
    whitelist = {"stale.entry"};
    reload_whitelist();
    EXPECT_EQ(whitelist, package_list{});
    EXPECT_FALSE(exists(list_file_path));

    ASSERT_EQ(mkdir(list_file_path.c_str(), 0755), 0);
    whitelist = {"stale.entry"};
    reload_whitelist();
    EXPECT_EQ(whitelist, package_list{});
}

// ---- System packages -------------------------------------------------------------------------

class system_package_lines : public ::testing::TestWithParam<list_case> {};

// The pm stand-in prints the content unchanged; the list starts with an entry of an earlier
// reload, which must be gone afterwards.
TEST_P(system_package_lines, give_the_text_after_the_first_colon)
{
    fake_device device;
    device.set_pm(GetParam().content);
    system_packages = {"stale.entry"};
    reload_system_packages();
    EXPECT_EQ(system_packages, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    system_packages, system_package_lines,
    ::testing::Values(
        list_case{"prints_nothing", "", {}},
        list_case{"device_list", "package:com.android.settings\npackage:com.android.phone\n",
                  {"com.android.settings", "com.android.phone"}},
        list_case{"second_colon_stays", "package:com.a:extra:more\n", {"com.a:extra:more"}},
        list_case{"line_without_colon_whole", "com.a\n", {"com.a"}},
        list_case{"leading_colon", ":com.a\n", {"com.a"}},
        list_case{"empty_entries_stay", "package:\n\npackage:com.a\n", {"", "", "com.a"}},
        list_case{"hash_line_is_no_comment", "#package:com.a\n# note\n", {"com.a", "# note"}},
        list_case{"carriage_returns_and_blanks_stay", "package:com.a\r\npackage: com.b  \n",
                  {"com.a\r", " com.b  "}},
        list_case{"duplicates_stay", "package:com.a\npackage:com.a\n", {"com.a", "com.a"}},
        list_case{"last_line_without_newline", "package:com.a\npackage:com.b", {"com.a", "com.b"}},
        list_case{"nul_byte_stays", std::string("package:com.\0a\n", 15), {std::string("com.\0a", 6)}},
        list_case{"long_lines_stay_whole", "package:" + counted(1016) + "\npackage:" + counted(70000) + "\n",
                  {counted(1016), counted(70000)}}),
    case_name<list_case>);

TEST(system_packages, output_in_pieces_from_a_failing_command_is_taken)
{
    fake_device device;
    raw_output pm(device, "pm", {"package:com.a\npack", "age:com.b\npackage:com", ".c"}, 1);
    system_packages = {"stale.entry"};
    reload_system_packages();
    EXPECT_EQ(system_packages, (package_list{"com.a", "com.b", "com.c"}));
}

// ---- Top-task query --------------------------------------------------------------------------

struct device_case {
    const char* name;
    std::string output;  // what the device's tool prints
    std::string expected;
};

void PrintTo(const device_case& c, std::ostream* os)
{
    *os << c.name;
}

class top_task_on_device_output : public ::testing::TestWithParam<device_case> {};

TEST_P(top_task_on_device_output, gives_the_first_real_task_package)
{
    fake_device device;
    device.set_am(GetParam().output);
    FILE* top_task = start_foreground_query();
    EXPECT_EQ(finish_foreground_query(top_task), GetParam().expected);
}

const std::string stack_header = "Stack id=1 bounds=[0,0][1080,2340] displayId=0 userId=0\n";

INSTANTIATE_TEST_SUITE_P(
    foreground_queries, top_task_on_device_output,
    ::testing::Values(
        device_case{"no_task", stack_header, ""},
        device_case{"first_task_wins_unknown_skipped",
                    stack_header + "  taskId=7: unknown bounds=[0,0][1080,2340] userId=0 visible=false\n" +
                        task_line(mail, 42) + "Stack id=0 bounds=[0,0][1080,2340]\n" + task_line(browser, 41),
                    mail},
        device_case{"carriage_return_of_a_crlf_line_stays", "Stack id=1\r\n  taskId=42: " + mail + "\r\n",
                    mail + "\r"},
        device_case{"long_name_gives_its_last_piece", task_line(counted(2000)), counted(2000).substr(1023)},
        device_case{"name_of_1023_bytes_gives_the_empty_last_piece", task_line(counted(1023)), ""}),
    case_name<device_case>);

class top_task_on_raw_output : public ::testing::TestWithParam<raw_case> {};

TEST_P(top_task_on_raw_output, gives_the_last_piece_without_newlines)
{
    fake_device device;
    raw_output am(device, "am", GetParam().writes, GetParam().status);
    FILE* top_task = start_foreground_query();
    EXPECT_EQ(finish_foreground_query(top_task), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    foreground_queries, top_task_on_raw_output,
    ::testing::Values(
        raw_case{"nothing", {}, 0, ""},
        raw_case{"name_and_newline", {mail + "\n"}, 0, mail},
        raw_case{"name_without_newline", {mail}, 0, mail},
        raw_case{"second_line_wins", {mail + "\n" + browser + "\n"}, 0, browser},
        raw_case{"empty_last_line_wins", {mail + "\n\n"}, 0, ""},
        raw_case{"carriage_return_stays", {mail + "\r\n"}, 0, mail + "\r"},
        raw_case{"line_of_2000_bytes_gives_the_last_977", {counted(2000) + "\n"}, 0, counted(2000).substr(1023)},
        raw_case{"line_of_1023_bytes_gives_the_newline_alone", {counted(1023) + "\n"}, 0, ""},
        raw_case{"line_of_1022_bytes_fits_one_piece", {counted(1022) + "\n"}, 0, counted(1022)},
        raw_case{"piece_ends_at_a_nul_byte", {std::string("com.a\0junk\n", 11)}, 0, "com.a"},
        raw_case{"line_in_several_writes", {"com.exa", "mple.", "mail\n"}, 0, mail},
        raw_case{"failing_command", {mail + "\n"}, 3, mail}),
    case_name<raw_case>);

// ---- Foreground-service query ----------------------------------------------------------------

class fgs_top_on_device_output : public ::testing::TestWithParam<device_case> {};

TEST_P(fgs_top_on_device_output, lists_the_fgs_and_top_packages)
{
    fake_device device;
    device.set_dumpsys(GetParam().output);
    EXPECT_EQ(read_fgs_top_text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    foreground_queries, fgs_top_on_device_output,
    ::testing::Values(
        device_case{"prints_nothing", "", ""},
        device_case{"device_list",
                    "ACTIVITY MANAGER LRU PROCESSES (dumpsys activity lru)\n  Activities:\n" +
                        lru_line(mail, "TOP", 1001) + lru_line("com.example.music", "FGS", 1002) +
                        "  #10: fore   FGS  ---- 1003:com.example.sync/u0a124 svc:service\n" +
                        lru_line("com.example.notes", "top", 1004) + lru_line(browser, "CEM", 1005) +
                        "  Other:\n",
                    mail + "\ncom.example.music\n"}),
    case_name<device_case>);

class fgs_top_on_raw_output : public ::testing::TestWithParam<raw_case> {};

// One read that waits for 1024 bytes or the end of the output, and the command has ended when
// the text is handed back.
TEST_P(fgs_top_on_raw_output, keeps_the_first_1024_bytes)
{
    fake_device device;
    raw_output dumpsys(device, "dumpsys", GetParam().writes, GetParam().status);
    EXPECT_EQ(read_fgs_top_text(), GetParam().expected);
    EXPECT_TRUE(exists(device.path("ended")));
}

INSTANTIATE_TEST_SUITE_P(
    foreground_queries, fgs_top_on_raw_output,
    ::testing::Values(
        raw_case{"nothing", {}, 0, ""},
        raw_case{"exactly_1024_bytes", {counted(1024)}, 0, counted(1024)},
        raw_case{"1500_bytes", {counted(1500)}, 0, counted(1024)},
        raw_case{"1500_bytes_in_two_writes", {counted(1000), counted(1500).substr(1000)}, 0, counted(1024)},
        raw_case{"300_bytes_in_three_writes", {counted(100), counted(200).substr(100), counted(300).substr(200)},
                 0, counted(300)},
        raw_case{"failing_command", {mail + "\n"}, 1, mail + "\n"}),
    case_name<raw_case>);

// ---- Freeze log ------------------------------------------------------------------------------

// "离开" and " 送入vexlo", spelt out as the bytes that must reach the file.
const std::string leaving = "\xe7\xa6\xbb\xe5\xbc\x80";
const std::string sent_away = " \xe9\x80\x81\xe5\x85\xa5" "vexlo";

std::string log_line(const std::string& package)
{
    return leaving + package + sent_away + "\n";
}

struct log_case {
    const char* name;
    bool file_before;
    std::string before;
    std::string package;
};

void PrintTo(const log_case& c, std::ostream* os)
{
    *os << c.name;
}

class freeze_log_lines : public ::testing::TestWithParam<log_case> {};

TEST_P(freeze_log_lines, append_the_name_byte_for_byte)
{
    fake_device device;
    if (GetParam().file_before)
        device.write(log_file, GetParam().before);
    append_freeze_log(GetParam().package);
    EXPECT_EQ(device.read(log_file), GetParam().before + log_line(GetParam().package));
}

INSTANTIATE_TEST_SUITE_P(
    freeze_log, freeze_log_lines,
    ::testing::Values(
        log_case{"no_file_yet", false, "", mail},
        log_case{"earlier_lines_stay", true, log_line(browser) + "written by someone else\n", mail},
        log_case{"last_line_without_line_feed_is_continued", true, "no line feed", mail},
        log_case{"blanks", true, "", " com.example mail  "},
        log_case{"carriage_return", true, "", mail + "\r"},
        log_case{"invalid_utf8", true, "", "com.\xff\xfe\xc3(mail"},
        log_case{"name_of_1023_bytes", true, "", counted(1023)},
        log_case{"empty_name", true, "", ""}),
    case_name<log_case>);

TEST(freeze_log, new_file_gets_read_and_write_for_all_less_the_mask)
{
    fake_device device;
    mode_t saved_mask = umask(027);
    append_freeze_log(mail);
    umask(saved_mask);
    struct stat log_stat;
    ASSERT_EQ(stat(log_file_path.c_str(), &log_stat), 0);
    EXPECT_EQ(log_stat.st_mode & 0777, 0640u);
}

TEST(freeze_log, file_is_opened_afresh_for_every_line)
{
    fake_device device;
    append_freeze_log(mail);
    append_freeze_log(mail);
    EXPECT_EQ(device.read(log_file), log_line(mail) + log_line(mail));

    ASSERT_EQ(std::remove(log_file_path.c_str()), 0);
    append_freeze_log(browser);
    EXPECT_EQ(device.read(log_file), log_line(browser));
}

TEST(freeze_log, missing_directory_is_not_created_and_the_event_goes_on)
{
    fake_device device;
    std::string directory = device.path("Android");
    log_file_path = directory + "/" + log_file;
    backend_calls.clear();
    device.set_am(task_line(mail));
    check_foreground();
    device.set_am(task_line(browser));
    check_foreground();
    EXPECT_EQ(backend_calls, (std::vector<std::string>{"thaw " + mail, "thaw " + browser, "freeze " + mail}));
    EXPECT_EQ(previous_package, browser);
    EXPECT_FALSE(exists(directory));
}

}  // namespace
