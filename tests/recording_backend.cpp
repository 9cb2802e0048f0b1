#include "recording_backend.h"

#include <sys/stat.h>

#include "../daemon/backend.h"
#include "../daemon/globals.h"

std::vector<std::string> backend_calls;
std::vector<size_t> log_size_at_freeze;

void thaw_package(const std::string& package)
{
    backend_calls.push_back("thaw " + package);
}

void freeze_package(const std::string& package)
{
    backend_calls.push_back("freeze " + package);
    struct stat log_stat;
    log_size_at_freeze.push_back(stat(log_file_path.c_str(), &log_stat) == 0 ? log_stat.st_size : 0);
}
