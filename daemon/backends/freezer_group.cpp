#include "freezer_group.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "../backend.h"
#include "../line_reader.h"
#include "../package_argument.h"

// The daemon and its children (the shell running the lookup, on shells that do not exec their
// last command) must never land in the frozen group: a frozen lookup never ends, and the daemon
// would wait for it for ever.
static bool is_own_process(const std::string& id)
{
    const std::string own_id = std::to_string(getpid());
    if (id == own_id)
        return true;
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
        return false;
    std::ifstream stat_file("/proc/" + id + "/stat");
    std::string stat;
    std::getline(stat_file, stat);
    // The name in parentheses may hold blanks and parentheses itself; the fields after it are
    // the state and the parent's id.
    size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return false;
    size_t ppid_start = stat.find(' ', name_end + 2);
    if (ppid_start == std::string::npos)
        return false;
    size_t ppid_end = stat.find(' ', ppid_start + 1);
    return stat.substr(ppid_start + 1, ppid_end - ppid_start - 1) == own_id;
}

void move_package_processes(const std::string& package, const char* procs_path)
{
    FILE* lookup = popen(("pgrep -f " + package_argument(package)).c_str(), "r");
    if (lookup == nullptr)
        return;
    std::string id;
    while (read_line_piece(lookup, id)) {
        if (is_own_process(id))
            continue;
        // One open, write and close per id, as the kernel takes one id per write.
        std::ofstream group(procs_path);
        group << id << std::endl;
    }
    pclose(lookup);
}

void thaw_package(const std::string& package)
{
    move_package_processes(package, thaw_procs_path);
}

void freeze_package(const std::string& package)
{
    move_package_processes(package, frozen_procs_path);
}
