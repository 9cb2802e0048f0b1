#pragma once

#include <cstdio>
#include <optional>
#include <string>

// Starts the query for the top task's package; its answer is read by finish_foreground_query.
// Null when the query could not be started.
FILE* start_foreground_query();

// The first 1024 bytes at most of what the query for foreground-service and top processes prints;
// nothing at all when the query could not be started.
std::optional<std::string> read_fgs_top_text();

// Reads the top task's package from the query started by start_foreground_query, closes it, and
// returns the last line piece it printed without newlines (empty when it printed nothing).
std::string finish_foreground_query(FILE* top_task);
