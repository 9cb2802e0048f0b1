#include "check_foreground.h"

#include <algorithm>
#include <optional>
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
    const bool system_packages_read = reload_system_packages();
    const std::optional<std::string> fgs_top_text = read_fgs_top_text();
    const bool every_query_started = top_task != nullptr && system_packages_read && fgs_top_text;
    std::string foreground_package = finish_foreground_query(top_task);

    // A query that could not be started would make this event act on half the facts: freeze an
    // app that plays in a foreground service, or forget the app that is in front. Acting on
    // nothing leaves previous_package as it is, for the next event that sees everything.
    if (!every_query_started)
        return;

    if (foreground_package == previous_package)
        return;

    thaw_package(foreground_package);
    if (!is_protected(previous_package, *fgs_top_text)) {
        freeze_package(previous_package);
        append_freeze_log(previous_package);
    }
    previous_package = foreground_package;
}
