#pragma once

// Refills the whitelist from the companion app's list file.
void reload_whitelist();
