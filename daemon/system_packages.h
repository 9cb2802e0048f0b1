#pragma once

// Refills system_packages from the package manager's list of system packages. False, with the
// list left empty, when the package manager could not be started.
bool reload_system_packages();
