#pragma once

// Waits for a write into the top-app cpuset and handles it, for ever. Returns 1 only when the
// watcher cannot be started.
int run_event_loop();
