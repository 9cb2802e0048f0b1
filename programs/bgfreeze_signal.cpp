#include "../daemon/event_loop.h"

// Linked with the signal back end, which stops and continues the processes of a package.
int main()
{
    return run_event_loop();
}
