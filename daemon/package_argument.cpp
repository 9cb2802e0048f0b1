#include "package_argument.h"

#include <cstdlib>
#include <vector>

// Changes the process's environment: the entry stays there until the next call replaces it.
std::string package_argument(const std::string& package)
{
    // putenv keeps the very buffer it is given in the environment. setenv would copy the entry at
    // every call, and some libcs never free the copy it replaces, so a long-running daemon would
    // grow. The buffer in the environment must stay valid until the new one has taken its place:
    // putenv reads the old entry to find the one to replace, and an entry it cannot recognise is
    // left behind while the new one is added beside it. A vector's buffer keeps its address
    // through a swap (a string's may not, when it is short enough to live inside the object).
    static std::vector<char> environment_entry;
    const std::string text = "BGFREEZE_PACKAGE=" + package;
    std::vector<char> entry(text.c_str(), text.c_str() + text.size() + 1);
    putenv(entry.data());
    environment_entry.swap(entry);
    return "${BGFREEZE_PACKAGE:+\"$BGFREEZE_PACKAGE\"}";
}
