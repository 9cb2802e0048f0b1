#include "package_argument.h"

#include <cstdlib>

std::string package_argument(const std::string& package)
{
    setenv("BGFREEZE_PACKAGE", package.c_str(), 1);
    return "${BGFREEZE_PACKAGE:+\"$BGFREEZE_PACKAGE\"}";
}
