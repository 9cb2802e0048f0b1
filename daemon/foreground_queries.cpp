#include "foreground_queries.h"

#include "line_reader.h"

FILE* start_foreground_query()
{
    return popen("am stack list|awk '/taskId/&&!/unknown/{print$2}'| awk -F: 'NR==1'|awk -F '/' '{print $1}'",
                 "r");
}

std::optional<std::string> read_fgs_top_text()
{
    FILE* query = popen(
        "dumpsys activity lru | grep -E 'FGS|TOP'|grep 'act'|awk -F ':' '{print $3}' |awk -F '/' '{print $1}'",
        "r");
    if (query == nullptr)
        return std::nullopt;
    // One read, which waits for the end of the output or for 1024 bytes; the rest is discarded.
    char buffer[1024];
    size_t count = std::fread(buffer, 1, sizeof buffer, query);
    pclose(query);
    return std::string(buffer, count);
}

std::string finish_foreground_query(FILE* top_task)
{
    std::string foreground_package;
    if (top_task == nullptr)
        return foreground_package;
    std::string piece;
    while (read_line_piece(top_task, piece))
        foreground_package = piece;
    pclose(top_task);
    return foreground_package;
}
