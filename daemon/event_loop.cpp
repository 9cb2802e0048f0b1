#include "event_loop.h"

#include <cstdio>

#include "check_foreground.h"

int run_event_loop()
{
    for (;;) {
        FILE* watcher = popen("inotifywait -e modify /dev/cpuset/top-app", "r");
        if (watcher == nullptr) {
            std::puts("Failed to run command");
            return 1;
        }
        // Closing without reading waits for the watcher to see one change (or to fail) and end.
        pclose(watcher);
        check_foreground();
    }
}
