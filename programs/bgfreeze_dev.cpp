#include "../daemon/backends/freezer_group.h"
#include "../daemon/event_loop.h"

extern const char thaw_procs_path[] = "/dev/freezer/thaw/cgroup.procs";
extern const char frozen_procs_path[] = "/dev/freezer/frozen/cgroup.procs";

int main()
{
    return run_event_loop();
}
