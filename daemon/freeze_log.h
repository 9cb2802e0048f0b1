#pragma once

#include <string>

// Appends the line that records the freeze of a package to the log file.
void append_freeze_log(const std::string& package);
