#include "../daemon/backends/freezer_group.h"

// Relative, so that the test picks the groups through the working folder it starts the driver in.
extern const char thaw_procs_path[] = "groups/thaw/cgroup.procs";
extern const char frozen_procs_path[] = "groups/frozen/cgroup.procs";
