#include "package_argument.h"

#include <cstdlib>

std::string package_argument(const std::string& package)
{
    // putenv keeps this very buffer in the environment. setenv would copy the entry at every
    // call, and some libcs never free the copy it replaces, so a long-running daemon would grow.
    static std::string environment_entry;
    environment_entry = "BGFREEZE_PACKAGE=" + package;
    putenv(environment_entry.data());
    return "${BGFREEZE_PACKAGE:+\"$BGFREEZE_PACKAGE\"}";
}
