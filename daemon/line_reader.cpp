#include "line_reader.h"

#include <algorithm>
#include <cstring>

bool read_line_piece(FILE* stream, std::string& piece)
{
    char buffer[1024];
    if (std::fgets(buffer, sizeof buffer, stream) == nullptr)
        return false;
    piece.assign(buffer, std::strlen(buffer));
    piece.erase(std::remove(piece.begin(), piece.end(), '\n'), piece.end());
    return true;
}
