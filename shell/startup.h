#pragma once

// Logs in and checks the client version; false means the process must exit with status 1.
bool run_startup_checks();
