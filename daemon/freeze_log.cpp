#include "freeze_log.h"

#include <fstream>

#include "globals.h"

// Opened afresh for every line, so that the file may be moved or removed between freezes; a
// missing directory is not created.
void append_freeze_log(const std::string& package)
{
    std::ofstream log_file(log_file_path, std::ios::out | std::ios::app);
    log_file << u8"离开" << package << u8" 送入vexlo" << std::endl;
}
