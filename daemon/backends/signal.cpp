#include <cstdlib>
#include <regex.h>
#include <string>

#include "../backend.h"
#include "../package_argument.h"

// Whether pkill, which takes its pattern as an extended regular expression and matches it
// against whole command lines joined by blanks, would pick the shell that runs the command.
static bool matches_own_shell(const std::string& package, const std::string& command)
{
    regex_t pattern;
    if (regcomp(&pattern, package.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    // The shell's command line as libc's system() starts it, with or without "--".
    bool matches = regexec(&pattern, ("sh -c " + command).c_str(), 0, nullptr, 0) == 0 ||
                   regexec(&pattern, ("sh -c -- " + command).c_str(), 0, nullptr, 0) == 0;
    regfree(&pattern);
    return matches;
}

// pkill matches the daemon's own command line too, and a stopped daemon cannot resume itself,
// so the shell stays behind pkill and continues the daemon (harmless when it runs). Should the
// pattern match that shell, it would stop it and never return; the shell then becomes pkill
// itself, which never signals itself.
static void signal_package(const char* command_prefix, const std::string& package)
{
    std::string signal_command = command_prefix + package_argument(package);
    std::string guarded_command = signal_command + "; kill -18 $PPID";
    if (matches_own_shell(package, guarded_command))
        std::system(("exec " + signal_command).c_str());
    else
        std::system(guarded_command.c_str());
}

void thaw_package(const std::string& package)
{
    signal_package("pkill -18 -f ", package);
}

void freeze_package(const std::string& package)
{
    signal_package("pkill -19 -f ", package);
}
