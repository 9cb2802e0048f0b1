#pragma once

#include <cstdio>
#include <string>

// Reads the next piece of a line, at most 1023 bytes up to and including a newline, and gives it
// without newlines. False at the end of the output or on a read error.
bool read_line_piece(FILE* stream, std::string& piece);
