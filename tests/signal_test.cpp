#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "backend_processes.h"

namespace {

// The signal back end in a driver that runs in a working folder of its own, with a pkill on PATH
// that records its arguments and then becomes the real pkill of a tool set.
struct signal_driver {
    std::string folder;
    std::string work;
    std::string path;

    void set_up(const process_tools& tools)
    {
        folder = make_temp_folder();
        work = folder + "/work";
        mkdir(work.c_str(), 0755);
        std::string tool_path = tool_folder(folder, tools);
        put_recording_tool(folder + "/bin", "pkill", tool_path + "/pkill", folder + "/pkill.args");
        path = folder + "/bin:" + tool_path + ":" + std::getenv("PATH");
    }

    // The driver's command line holds the package name, as the daemon's may.
    std::vector<std::string> command(const std::string& operation,
                                     const std::string& package) const
    {
        return {BACKEND_DRIVER_SIGNAL, operation, package, package};
    }

    std::string pkill_arguments() const { return read_file(folder + "/pkill.args"); }
    void forget_arguments() const { remove((folder + "/pkill.args").c_str()); }
};

// On the machine itself, with procps, whose pkill signals only the processes that the pattern
// matches.
struct signal_backend : ::testing::Test, signal_driver {
    std::vector<pid_t> apps;

    void SetUp() override
    {
        set_up(tool_sets[0]);
        ASSERT_FALSE(folder.empty());
    }

    void TearDown() override
    {
        for (pid_t app : apps)
            end_process(app);
        remove_tree(folder);
    }

    pid_t app(const std::string& name)
    {
        apps.push_back(start_app(name));
        return apps.back();
    }

    driver_run drive(const std::string& operation, const std::string& package)
    {
        return run_command(command(operation, package), work, path);
    }
};

TEST_F(signal_backend, freeze_stops_and_thaw_continues_every_matching_process_but_no_other)
{
    ASSERT_EQ("dash", system_shell()) << "meant to run with dash as /bin/sh";
    std::string package = unique_package();
    std::vector<pid_t> matching = {app(package), app(package + ":remote")};
    pid_t other = app(unique_package());

    driver_run run = drive("freeze", package);
    ASSERT_TRUE(ended_with_0(run)) << "the driver stopped itself? " << outcome(run);
    EXPECT_EQ("-19\n-f\n" + package + "\n", pkill_arguments());
    for (pid_t pid : matching)
        EXPECT_TRUE(wait_for_state(pid, "T")) << pid << " in state " << process_state(pid);
    EXPECT_EQ('S', process_state(other));

    run = drive("thaw", package);
    ASSERT_TRUE(ended_with_0(run)) << outcome(run);
    EXPECT_EQ("-19\n-f\n" + package + "\n-18\n-f\n" + package + "\n", pkill_arguments());
    for (pid_t pid : matching)
        EXPECT_TRUE(wait_for_state(pid, "SR")) << pid << " in state " << process_state(pid);
}

// An empty pattern would match every process on the machine.
TEST_F(signal_backend, an_empty_name_gives_pkill_no_pattern)
{
    ASSERT_TRUE(ended_with_0(drive("thaw", "")));
    EXPECT_EQ("-18\n-f\n", pkill_arguments());
}

TEST_F(signal_backend, a_name_reaches_pkill_as_one_argument_and_runs_nothing)
{
    for (const std::string& package : injection_names) {
        SCOPED_TRACE(package);
        forget_arguments();
        ASSERT_TRUE(ended_with_0(drive("thaw", package)));
        EXPECT_EQ("-18\n-f\n" + package + "\n", pkill_arguments());
        EXPECT_EQ(std::vector<std::string>(), folder_entries(work));
    }
}

// In a PID namespace of its own, where pkill reaches only the driver and what it starts. This
// lets a test use a pattern that would reach other processes on the machine: a name that also
// matches the text of the command the shell runs (it matches that command of any other test
// as well), and toybox, whose pkill also takes its signal option, "-19" or "-18", as a pattern.
// The namespace's first process is a shell that waits for the driver, so that the driver is not
// the namespace's init, which the kernel shields from a stop sent from inside.
struct signal_backend_alone : ::testing::TestWithParam<process_tools>, signal_driver {
    void SetUp() override
    {
        set_up(GetParam());
        ASSERT_FALSE(folder.empty());
    }
    void TearDown() override { remove_tree(folder); }

    driver_run drive(const std::string& operation, const std::string& package)
    {
        std::vector<std::string> alone = {"unshare", "--pid", "--fork", "--mount-proc",
                                          "--kill-child", "/bin/sh", "-c", "\"$0\" \"$@\"; exit $?"};
        for (const std::string& word : command(operation, package))
            alone.push_back(word);
        return run_command(alone, work, path, 10);
    }
};

// The driver holds the name in its own command line, so pkill would stop it too: a shell stays
// behind pkill to continue it. A name that also matches that shell cannot spare both; the stop
// is then not sent at all, rather than leaving the daemon stopped.
TEST_P(signal_backend_alone, the_daemon_and_its_shell_are_never_left_stopped)
{
    ASSERT_EQ("dash", system_shell()) << "meant to run with dash as /bin/sh";
    struct name_case {
        std::string package;
        bool stop_is_sent;
    };
    for (const name_case& name : {name_case{unique_package(), true}, name_case{"BGFREEZE.PACKAGE", false},
                                  name_case{"pkill", false}}) {
        for (const std::string operation : {"freeze", "thaw"}) {
            SCOPED_TRACE(operation + " " + name.package);
            forget_arguments();
            driver_run run = drive(operation, name.package);
            EXPECT_TRUE(ended_with_0(run)) << "the driver did not end: " << outcome(run);
            std::string sent = (operation == "freeze" ? "-19" : "-18") + std::string("\n-f\n") + name.package + "\n";
            EXPECT_EQ(operation == "thaw" || name.stop_is_sent ? sent : "", pkill_arguments());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(tools, signal_backend_alone, ::testing::ValuesIn(tool_sets),
                         [](const ::testing::TestParamInfo<process_tools>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
