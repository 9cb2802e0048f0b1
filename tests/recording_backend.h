#pragma once

#include <string>
#include <vector>

// What the recording back end was asked to do, in order: "thaw NAME" or "freeze NAME". A freeze
// also notes how many bytes the log file held at that moment, to show the line comes after it.
extern std::vector<std::string> backend_calls;
extern std::vector<size_t> log_size_at_freeze;
