#include "backend_processes.h"

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <limits.h>
#include <random>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::string make_temp_folder()
{
    char name[] = "/tmp/bgfreeze_backend_XXXXXX";
    return mkdtemp(name) == nullptr ? std::string() : std::string(name);
}

void remove_tree(const std::string& path)
{
    if (path.empty())
        return;
    nftw(path.c_str(),
         [](const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); },
         16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

bool file_exists(const std::string& path)
{
    struct stat entry;
    return lstat(path.c_str(), &entry) == 0;
}

std::vector<std::string> folder_entries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr)
        return names;
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::string unique_package()
{
    // Fixed width for the count, so that no name of a test is a part of another.
    static const std::string stem = "com.bgfreeze.test.p" + std::to_string(getpid()) + "r" +
                                    std::to_string(std::random_device()() % 100000) + "n";
    static int count = 0;
    char number[8];
    std::snprintf(number, sizeof number, "%03d", ++count % 1000);
    return stem + number;
}

static std::string command_line(pid_t pid)
{
    std::string line = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    return line;
}

pid_t start_app(const std::string& name)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        execlp("sleep", name.c_str(), "1000", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int attempt = 0; attempt < 500 && command_line(pid) != name + " 1000 "; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
}

void end_process(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

char process_state(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t name_end = stat.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= stat.size() ? 0 : stat[name_end + 2];
}

bool wait_for_state(pid_t pid, const std::string& states)
{
    for (int attempt = 0; attempt < 500; ++attempt) {
        char state = process_state(pid);
        if (state != 0 && states.find(state) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool ended_with_0(const driver_run& run)
{
    return run.ended && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
}

std::string outcome(const driver_run& run)
{
    if (!run.ended)
        return "still running at the deadline: " + run.tree_at_deadline;
    if (WIFSIGNALED(run.status))
        return "ended by signal " + std::to_string(WTERMSIG(run.status));
    return "exited with " + std::to_string(WEXITSTATUS(run.status));
}

std::vector<std::string> lines_in(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// "name state" of the process and of every process below it, parents first.
static std::string process_tree(pid_t pid)
{
    std::string id = std::to_string(pid);
    std::string stat = read_file("/proc/" + id + "/stat");
    size_t name_start = stat.find('(');
    size_t name_end = stat.rfind(')');
    if (name_start == std::string::npos || name_end == std::string::npos)
        return std::string();
    std::string tree = stat.substr(name_start + 1, name_end - name_start - 1) + " " +
                       process_state(pid);
    std::istringstream children(read_file("/proc/" + id + "/task/" + id + "/children"));
    for (pid_t child; children >> child;)
        tree += ", " + process_tree(child);
    return tree;
}

static void descendants(pid_t pid, std::vector<pid_t>& found)
{
    std::string id = std::to_string(pid);
    std::istringstream children(read_file("/proc/" + id + "/task/" + id + "/children"));
    for (pid_t child; children >> child;) {
        found.push_back(child);
        descendants(child, found);
    }
}

static std::vector<char*> argument_vector(const std::vector<std::string>& command)
{
    std::vector<char*> arguments;
    for (const std::string& word : command)
        arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    return arguments;
}

driver_run run_command(const std::vector<std::string>& command, const std::string& folder,
                       const std::string& path, int seconds, bool without_free_descriptors)
{
    std::vector<char*> arguments = argument_vector(command);
    driver_run run;
    run.pid = fork();
    if (run.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        setenv("PATH", path.c_str(), 1);
        if (without_free_descriptors) {
            // One descriptor beyond the standard three: enough for the loader and a sanitizer's
            // runtime, too few for a pipe.
            for (int fd = 3; fd < 1024; ++fd)
                close(fd);
            rlimit limit{4, 4};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(run.pid, &run.status, WNOHANG) == run.pid) {
            run.ended = true;
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.tree_at_deadline = process_tree(run.pid);
    // A stopped shell below the command would outlive it.
    std::vector<pid_t> below;
    descendants(run.pid, below);
    end_process(run.pid);
    for (pid_t pid : below)
        kill(pid, SIGKILL);
    return run;
}

std::vector<std::string> output_lines(const std::vector<std::string>& command,
                                      const std::string& path)
{
    std::vector<char*> arguments = argument_vector(command);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_ends[1], 1);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        setenv("PATH", path.c_str(), 1);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, got);
    close(pipe_ends[0]);
    waitpid(pid, nullptr, 0);
    return lines_in(text);
}

const process_tools tool_sets[2] = {
    {"procps", "/usr/bin/pgrep", "/usr/bin/pkill"},
    {"toybox", "/usr/bin/toybox", "/usr/bin/toybox"},
};

void PrintTo(const process_tools& tools, std::ostream* out)
{
    *out << tools.name;
}

std::string tool_folder(const std::string& folder, const process_tools& tools)
{
    std::string tool_path = folder + "/" + tools.name;
    mkdir(tool_path.c_str(), 0755);
    symlink(tools.pgrep, (tool_path + "/pgrep").c_str());
    symlink(tools.pkill, (tool_path + "/pkill").c_str());
    return tool_path;
}

void put_recording_tool(const std::string& bin_folder, const std::string& tool,
                        const std::string& real, const std::string& record)
{
    mkdir(bin_folder.c_str(), 0755);
    std::string script = bin_folder + "/" + tool;
    write_file(script, "#!/bin/sh\n"
                       "printf '%s\\n' \"$@\" >> '" + record + "'\n"
                       "echo \"$PPID\" >> '" + record + ".caller'\n"
                       "tr '\\0' ' ' < /proc/$PPID/cmdline >> '" + record + ".caller'\n"
                       "echo >> '" + record + ".caller'\n"
                       "for argument; do [ -n \"$argument\" ] || exit 1; done\n"
                       "exec '" + real + "' \"$@\"\n");
    chmod(script.c_str(), 0755);
}

std::string system_shell()
{
    char target[PATH_MAX];
    if (realpath("/bin/sh", target) == nullptr)
        return std::string();
    std::string shell = target;
    return shell.substr(shell.rfind('/') + 1);
}

const std::vector<std::string> injection_names = {
    "com.evil;touch${IFS}pwned",
    "com.evil$(touch${IFS}pwned)",
    "com.evil`touch${IFS}pwned`",
    "com.evil\"$(touch${IFS}pwned)\"",
    "com.evil'$(touch${IFS}pwned)'",
    "com.evil&&touch pwned",
    "com.evil|touch pwned",
};
