#pragma once

#include <string>
#include <vector>

// An ordered list of package names; lookups compare whole names, byte for byte.
using package_list = std::vector<std::string>;

// Built in this order before main runs, destroyed in the reverse order at exit.
extern std::string previous_package;
extern std::string list_file_path;
extern std::string log_file_path;
extern package_list system_packages;
extern package_list whitelist;
