#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex.h>
#include <string>

#include "../backend.h"
#include "../package_argument.h"

// Whether pkill, which reads its pattern as an extended regular expression and matches it
// against whole command lines with their arguments joined by blanks, would pick this text.
static bool pkill_would_match(const std::string& pattern, const std::string& command_line)
{
    regex_t expression;
    if (regcomp(&expression, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool matches = regexec(&expression, command_line.c_str(), 0, nullptr, 0) == 0;
    regfree(&expression);
    return matches;
}

static std::string own_command_line()
{
    std::ifstream cmdline_file("/proc/self/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(cmdline_file)), std::istreambuf_iterator<char>());
    if (!cmdline.empty() && cmdline.back() == '\0')
        cmdline.pop_back();
    for (char& byte : cmdline)
        if (byte == '\0')
            byte = ' ';
    return cmdline;
}

// The shell becomes pkill itself, and pkill never signals itself. A shell that stayed behind
// would hold the name in its command line (and toybox's pkill also matches its signal option
// there), so it would stop itself and never return.
void thaw_package(const std::string& package)
{
    std::system(("exec pkill -18 -f " + package_argument(package)).c_str());
}

void freeze_package(const std::string& package)
{
    const std::string argument = package_argument(package);
    if (!pkill_would_match(package, own_command_line())) {
        std::system(("exec pkill -19 -f " + argument).c_str());
        return;
    }
    // pkill would stop the daemon too, and a stopped daemon cannot resume itself. A shell that
    // holds neither the name nor the signal option in its own command line outlives pkill and
    // continues the daemon.
    static char signal_entry[] = "BGFREEZE_SIGNAL=-19";
    putenv(signal_entry);
    const std::string guarded = "pkill \"$BGFREEZE_SIGNAL\" -f " + argument + "; kill -CONT $PPID";
    // libc starts the shell as "sh -c" or "sh -c --". Should the name match that shell as well,
    // no stop can spare both, and the package is left running.
    if (pkill_would_match(package, "sh -c " + guarded) || pkill_would_match(package, "sh -c -- " + guarded))
        return;
    std::system(guarded.c_str());
}
