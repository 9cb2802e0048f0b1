#include "check_foreground.h"

#include <algorithm>
#include <string>

#include "backend.h"
#include "foreground_queries.h"
#include "freeze_log.h"
#include "globals.h"
#include "system_packages.h"
#include "whitelist.h"

static bool holds(const package_list& list, const std::string& package)
{
    return std::find(list.begin(), list.end(), package) != list.end();
}

// An empty name occurs in every text, so the first change after start freezes nothing.
static bool is_protected(const std::string& package, const std::string& fgs_top_text)
{
    return holds(system_packages, package) || holds(whitelist, package) ||
           fgs_top_text.find(package) != std::string::npos;
}

void check_foreground()
{
    FILE* top_task = start_foreground_query();
    reload_whitelist();
    reload_system_packages();
    std::string fgs_top_text = read_fgs_top_text();
    std::string foreground_package = finish_foreground_query(top_task);

    if (foreground_package == previous_package)
        return;

    thaw_package(foreground_package);
    if (!is_protected(previous_package, fgs_top_text)) {
        freeze_package(previous_package);
        append_freeze_log(previous_package);
    }
    previous_package = foreground_package;
}
