#pragma once

// Handles one change of the top-app cpuset: thaws the app that came to the foreground and
// freezes the one that left it, unless that one is protected.
void check_foreground();
