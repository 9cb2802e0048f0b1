#pragma once

#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

// Real processes for the back end tests: stand-in apps, a back end driver run under a deadline,
// and the process tools they find them with.

// A fresh folder under /tmp, and its removal with all it holds.
std::string make_temp_folder();
void remove_tree(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// The names in a folder, without "." and "..", sorted.
std::vector<std::string> folder_entries(const std::string& path);

// A package-like name that no other process on the machine holds in its command line, so that
// a test's pgrep and pkill reach only its own processes.
std::string unique_package();

// Starts a stand-in app: a sleep whose whole command line is "NAME 1000", the way an Android app
// process shows its package. Returns once the command line is in place; the app dies with the
// test program should the test never end it.
pid_t start_app(const std::string& name);
// Kills and reaps a process this test started.
void end_process(pid_t pid);
// The state letter of /proc/PID/stat ('S', 'R', 'T', ...), or 0 when the process is gone.
char process_state(pid_t pid);
// Polls until the state of the process is one of `states`, for at most five seconds.
bool wait_for_state(pid_t pid, const std::string& states);

struct driver_run {
    pid_t pid = 0;
    bool ended = false;  // ended by itself before the deadline
    int status = 0;      // its wait status when it ended
    // The command's process and all below it when the deadline came: "name state" each.
    std::string tree_at_deadline;
};

bool ended_with_0(const driver_run& run);
// How the run ended, for a failure message.
std::string outcome(const driver_run& run);

// Runs `command` (its first word found on `path`) in `folder` with PATH set to `path`, and waits
// for it for at most `seconds`; a command still running then is killed, with every process
// below it. With `without_free_descriptors` it starts with one descriptor slot free: enough for
// the loader, too few for a pipe.
driver_run run_command(const std::vector<std::string>& command, const std::string& folder,
                       const std::string& path, int seconds = 20,
                       bool without_free_descriptors = false);

std::vector<std::string> lines_in(const std::string& text);

// What a command prints on standard output, run without a shell, one entry per line.
std::vector<std::string> output_lines(const std::vector<std::string>& command,
                                      const std::string& path);

// The pgrep and pkill that a test runs the back end with: tool_sets[0] is procps, [1] toybox.
struct process_tools {
    const char* name;   // "procps" or "toybox"
    const char* pgrep;  // absolute paths; toybox picks its tool by the name it is called by
    const char* pkill;
};
extern const process_tools tool_sets[2];
void PrintTo(const process_tools& tools, std::ostream* out);

// A folder in `folder` with links named pgrep and pkill to the tools of the set.
std::string tool_folder(const std::string& folder, const process_tools& tools);

// Puts a stand-in for `tool` into `bin_folder` that appends its arguments, one per line, to
// `record`, and the id and the command line of its parent (the shell that runs it), one line
// each, to `record`.caller; then it becomes `real`. An empty argument is never passed on: as a
// pattern it would reach every process on the machine.
void put_recording_tool(const std::string& bin_folder, const std::string& tool,
                        const std::string& real, const std::string& record);

// The target of /bin/sh, which decides whether a command's shell stays behind its last command.
std::string system_shell();

// The package names that would run commands of their own, were a name ever taken as shell text.
extern const std::vector<std::string> injection_names;
