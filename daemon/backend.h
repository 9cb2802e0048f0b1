#pragma once

#include <string>

// Provided by the one back end that a program is linked with.
void thaw_package(const std::string& package);
void freeze_package(const std::string& package);
