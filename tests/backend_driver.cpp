// Makes one back end call in a process of its own, so that a test can watch the call from
// outside: put a deadline on it, give it a working folder and a search path of its choosing, and
// let the package name stand in this process's own command line, as it may in the daemon's.
//
//   backend_driver thaw|freeze NAME [ignored...]
#include <cstring>

#include "../daemon/backend.h"

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    if (std::strcmp(argv[1], "thaw") == 0)
        thaw_package(argv[2]);
    else if (std::strcmp(argv[1], "freeze") == 0)
        freeze_package(argv[2]);
    else
        return 2;
    return 0;
}
