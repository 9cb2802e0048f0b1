#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <regex.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backend_processes.h"

namespace {

// The freezer-group back end in a driver whose group files are "groups/thaw/cgroup.procs" and
// "groups/frozen/cgroup.procs" under the folder it runs in, with the real pgrep of one tool set.
struct freezer_group_backend : ::testing::TestWithParam<process_tools> {
    std::string folder;
    std::string tools;
    std::string path;
    std::vector<pid_t> apps;
    std::vector<int> descriptors;
    std::string real_group;

    void SetUp() override
    {
        folder = make_temp_folder();
        ASSERT_FALSE(folder.empty());
        tools = tool_folder(folder, GetParam());
        path = tools + ":" + std::getenv("PATH");
        mkdir(group_folder("").c_str(), 0755);
        mkdir(group_folder("thaw").c_str(), 0755);
        mkdir(group_folder("frozen").c_str(), 0755);
    }

    void TearDown() override
    {
        if (!real_group.empty()) {
            // Out of the frozen group first: a frozen process does not die until thawed.
            for (pid_t app : apps)
                write_file("/sys/fs/cgroup/freezer/cgroup.procs", std::to_string(app) + "\n");
            write_file(real_group + "/freezer.state", "THAWED\n");
        }
        for (pid_t app : apps)
            end_process(app);
        if (!real_group.empty())
            rmdir(real_group.c_str());
        for (int descriptor : descriptors)
            close(descriptor);
        remove_tree(folder);
    }

    std::string group_folder(const std::string& group) const
    {
        return folder + "/groups" + (group.empty() ? "" : "/" + group);
    }
    std::string procs(const std::string& group) const
    {
        return group_folder(group) + "/cgroup.procs";
    }

    pid_t app(const std::string& name)
    {
        apps.push_back(start_app(name));
        return apps.back();
    }

    driver_run drive(const std::string& operation, const std::string& package,
                     bool without_free_descriptors = false)
    {
        return run_command({BACKEND_DRIVER_FREEZER_GROUP, operation, package}, folder, path, 20,
                           without_free_descriptors);
    }

    // Puts a pgrep on PATH that records its arguments and its caller, then becomes the real one.
    void record_pgrep()
    {
        put_recording_tool(folder + "/bin", "pgrep", tools + "/pgrep", folder + "/pgrep.args");
        path = folder + "/bin:" + path;
    }

    // Makes a group file a FIFO that the test holds open, so that every write into it stays
    // readable after the call, however often the back end opened it.
    int hold_fifo(const std::string& group)
    {
        mkfifo(procs(group).c_str(), 0600);
        descriptors.push_back(open(procs(group).c_str(), O_RDWR | O_NONBLOCK));
        return descriptors.back();
    }
};

std::string drain(int descriptor)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(descriptor, buffer, sizeof buffer)) > 0;)
        text.append(buffer, got);
    return text;
}

std::string lines_of(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::vector<std::string> ids_of(const std::vector<pid_t>& pids)
{
    std::vector<std::string> ids;
    for (pid_t pid : pids)
        ids.push_back(std::to_string(pid));
    return ids;
}

std::vector<std::string> sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The opens, writes and closes of a watched file, one letter each.
std::string file_events(int watcher)
{
    std::string events;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(watcher, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + got;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
            if (event->mask & IN_OPEN)
                events += 'o';
            if (event->mask & IN_MODIFY)
                events += 'w';
            if (event->mask & IN_CLOSE_WRITE)
                events += 'c';
            at += sizeof(inotify_event) + event->len;
        }
    }
    return events;
}

TEST_P(freezer_group_backend, every_printed_id_gets_its_own_open_write_and_close_in_the_tools_order)
{
    std::string package = unique_package();
    std::vector<pid_t> matching = {app(package), app(package + ":remote"), app(package + ":push")};
    app(unique_package());
    int thaw_group = hold_fifo("thaw");
    int frozen_group = hold_fifo("frozen");
    int watcher = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watcher, procs("frozen").c_str(), IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE);
    descriptors.push_back(watcher);

    ASSERT_TRUE(ended_with_0(drive("freeze", package)));
    std::vector<std::string> printed = output_lines({"pgrep", "-f", package}, path);
    ASSERT_EQ(sorted(ids_of(matching)), sorted(printed)) << "the tool finds these processes only";
    EXPECT_EQ(lines_of(printed), drain(frozen_group));
    EXPECT_EQ("owcowcowc", file_events(watcher));
    EXPECT_EQ("", drain(thaw_group));

    ASSERT_TRUE(ended_with_0(drive("thaw", package)));
    EXPECT_EQ(lines_of(printed), drain(thaw_group));
    EXPECT_EQ("", drain(frozen_group));
}

TEST_P(freezer_group_backend, a_plain_group_file_is_rewritten_for_every_id_and_keeps_the_last)
{
    std::string package = unique_package();
    std::vector<pid_t> matching = {app(package), app(package + ":remote")};
    write_file(procs("frozen"), "stale\n");

    ASSERT_TRUE(ended_with_0(drive("freeze", package)));
    std::vector<std::string> printed = output_lines({"pgrep", "-f", package}, path);
    ASSERT_EQ(2u, printed.size());
    EXPECT_EQ(printed.back() + "\n", read_file(procs("frozen")));
}

TEST_P(freezer_group_backend, without_a_matching_process_no_group_file_is_opened)
{
    app(unique_package());
    write_file(procs("frozen"), "untouched\n");

    for (const char* operation : {"freeze", "thaw"})
        ASSERT_TRUE(ended_with_0(drive(operation, unique_package()))) << operation;
    EXPECT_EQ("untouched\n", read_file(procs("frozen")));
    EXPECT_EQ(std::vector<std::string>(), folder_entries(group_folder("thaw")));
}

TEST_P(freezer_group_backend, a_missing_group_folder_writes_nothing_and_is_no_error)
{
    std::string package = unique_package();
    app(package);
    rmdir(group_folder("frozen").c_str());

    ASSERT_TRUE(ended_with_0(drive("freeze", package)));
    EXPECT_EQ(std::vector<std::string>{"thaw"}, folder_entries(group_folder("")));
    EXPECT_EQ(std::vector<std::string>(), folder_entries(group_folder("thaw")));
}

TEST_P(freezer_group_backend, a_lookup_that_cannot_start_writes_nothing_and_is_no_error)
{
    std::string package = unique_package();
    app(package);

    ASSERT_TRUE(ended_with_0(drive("freeze", package, true)));
    EXPECT_EQ(std::vector<std::string>(), folder_entries(group_folder("frozen")));
}

// An empty pattern would match every process on the machine.
TEST_P(freezer_group_backend, an_empty_name_gives_pgrep_no_pattern_and_moves_nothing)
{
    record_pgrep();

    ASSERT_TRUE(ended_with_0(drive("thaw", "")));
    EXPECT_EQ("-f\n", read_file(folder + "/pgrep.args"));
    EXPECT_EQ(std::vector<std::string>(), folder_entries(group_folder("thaw")));
}

TEST_P(freezer_group_backend, a_name_reaches_pgrep_as_one_argument_and_runs_nothing)
{
    record_pgrep();
    std::vector<std::string> before = folder_entries(folder);

    for (const std::string& package : injection_names) {
        SCOPED_TRACE(package);
        remove((folder + "/pgrep.args").c_str());
        ASSERT_TRUE(ended_with_0(drive("freeze", package)));
        EXPECT_EQ("-f\n" + package + "\n", read_file(folder + "/pgrep.args"));
        EXPECT_FALSE(file_exists(folder + "/pwned"));
    }
    std::vector<std::string> after = folder_entries(folder);
    after.erase(std::remove(after.begin(), after.end(), "pgrep.args"), after.end());
    after.erase(std::remove(after.begin(), after.end(), "pgrep.args.caller"), after.end());
    EXPECT_EQ(before, after);
}

// A name whose pattern also matches the text of the lookup command finds the shell that runs
// the lookup: dash stays behind its last command, so that shell is alive while pgrep runs. The
// driver's own command line holds the name as well. Were either written into a real frozen
// group, the lookup would never end.
TEST_P(freezer_group_backend, never_writes_its_own_process_nor_its_lookup_shell)
{
    ASSERT_EQ("dash", system_shell()) << "meant to run with dash as /bin/sh";
    const std::string package = "BGFREEZE.PACKAGE";
    pid_t matching = app(package + ":" + unique_package());
    record_pgrep();
    int frozen_group = hold_fifo("frozen");

    driver_run run = drive("freeze", package);
    ASSERT_TRUE(ended_with_0(run)) << outcome(run);
    std::vector<std::string> caller = lines_in(read_file(folder + "/pgrep.args.caller"));
    ASSERT_EQ(2u, caller.size());
    std::string lookup_shell = caller[0];
    ASSERT_NE(std::to_string(run.pid), lookup_shell) << "the lookup shell stayed behind pgrep";
    regex_t pattern;
    ASSERT_EQ(0, regcomp(&pattern, package.c_str(), REG_EXTENDED | REG_NOSUB));
    EXPECT_EQ(0, regexec(&pattern, caller[1].c_str(), 0, nullptr, 0))
        << "pgrep prints the lookup shell: " << caller[1];
    regfree(&pattern);

    // Other lookups running at the same time match too; only these three ids are certain.
    std::vector<std::string> written = lines_in(drain(frozen_group));
    auto was_written = [&](const std::string& id) {
        return std::find(written.begin(), written.end(), id) != written.end();
    };
    EXPECT_TRUE(was_written(std::to_string(matching)));
    EXPECT_FALSE(was_written(std::to_string(run.pid))) << "the driver itself";
    EXPECT_FALSE(was_written(lookup_shell)) << "the lookup shell";
}

TEST_P(freezer_group_backend, freezes_a_stand_in_app_in_a_real_freezer_group)
{
    if (geteuid() != 0 || !file_exists("/sys/fs/cgroup/freezer/cgroup.procs"))
        GTEST_SKIP() << "NEEDS_ROOT: root and a cgroup v1 freezer hierarchy at "
                        "/sys/fs/cgroup/freezer";
    std::string group = "/sys/fs/cgroup/freezer/bgfreeze_test_" +
                        unique_package().substr(sizeof "com.bgfreeze.test." - 1);
    ASSERT_EQ(0, mkdir(group.c_str(), 0755)) << group;
    real_group = group;
    write_file(group + "/freezer.state", "FROZEN\n");
    rmdir(group_folder("frozen").c_str());
    ASSERT_EQ(0, symlink(group.c_str(), group_folder("frozen").c_str()));
    std::string package = unique_package();
    pid_t frozen = app(package);
    pid_t other = app(unique_package());

    ASSERT_TRUE(ended_with_0(drive("freeze", package)));
    EXPECT_EQ(std::to_string(frozen) + "\n", read_file(group + "/cgroup.procs"));
    std::string state;
    for (int attempt = 0; attempt < 500 && state != "FROZEN\n"; ++attempt) {
        state = read_file(group + "/freezer.state");
        usleep(10000);
    }
    EXPECT_EQ("FROZEN\n", state);
    EXPECT_NE(std::string::npos,
              read_file("/proc/" + std::to_string(frozen) + "/status").find("\nState:\tD"))
        << "a frozen process waits in the freezer";
    EXPECT_EQ('S', process_state(other));
}

INSTANTIATE_TEST_SUITE_P(tools, freezer_group_backend, ::testing::ValuesIn(tool_sets),
                         [](const ::testing::TestParamInfo<process_tools>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
