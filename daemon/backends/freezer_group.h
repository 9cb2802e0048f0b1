#pragma once

#include <string>

// The cgroup.procs files of a program's two freezer groups, defined by the program.
extern const char thaw_procs_path[];
extern const char frozen_procs_path[];

// Moves every process that "pgrep -f" finds for the package into the group of procs_path.
void move_package_processes(const std::string& package, const char* procs_path);
