#include "whitelist.h"

#include <fstream>
#include <string>

#include "globals.h"

// Lines are taken whole: a carriage return, blanks or a byte-order mark stay part of the name,
// so such a line protects nothing. Only a "#" as the very first byte makes a comment.
void reload_whitelist()
{
    whitelist.clear();
    std::ifstream list_file(list_file_path, std::ios::in | std::ios::binary);
    std::string line;
    while (std::getline(list_file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        whitelist.push_back(line);
    }
}
