#pragma once

// Refills system_packages from the package manager's list of system packages.
void reload_system_packages();
