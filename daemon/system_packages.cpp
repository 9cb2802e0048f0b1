#include "system_packages.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/types.h>

#include "globals.h"

// Each line is "package:NAME"; the entry is what follows the first colon, kept as it stands.
bool reload_system_packages()
{
    system_packages.clear();
    FILE* listing = popen("pm list package -s", "r");
    if (listing == nullptr)
        return false;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, listing)) != -1) {
        std::string entry(line, length);
        if (!entry.empty() && entry.back() == '\n')
            entry.pop_back();
        size_t colon = entry.find(':');
        system_packages.push_back(colon == std::string::npos ? entry : entry.substr(colon + 1));
    }
    std::free(line);
    pclose(listing);
    return true;
}
