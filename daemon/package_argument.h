#pragma once

#include <string>

// The text that stands for a package name in a command run through the shell, which it sets as
// BGFREEZE_PACKAGE in the process's environment (replacing the previous call's). The name comes
// from another program's output and the shell runs as root, so it never becomes command text:
// the shell takes it from the environment and hands it to the tool as one argument, byte for
// byte. An empty name gives the tool no argument at all, rather than an empty pattern, which
// would match every process. The shell's own command line does not hold the name either, so a
// process lookup does not find the shell that runs it.
std::string package_argument(const std::string& package);
