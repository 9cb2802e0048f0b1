#include "../daemon/backends/freezer_group.h"
#include "../daemon/event_loop.h"

extern const char thaw_procs_path[] = "/sys/fs/cgroup/unfrozen/cgroup.procs";
extern const char frozen_procs_path[] = "/sys/fs/cgroup/frozen/cgroup.procs";

int main()
{
    return run_event_loop();
}
