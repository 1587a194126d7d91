#pragma once

namespace quillo {

// `quillo-companion sync`: uploads today's merged diary once with the stored token, prints the
// resulting message and returns 0 on success, 1 on failure. Needs no display: GTK is never
// started, only the secret store, the HTTP client and the diary files are used.
int runSyncCommand(int argc, char** argv);

// `quillo-companion disconnect`: removes the stored token, as the page's disconnect does, so that
// leaving the service needs neither the tray nor secret-tool. 0 once no token is stored, else 1.
int runDisconnectCommand(int argc, char** argv);

}  // namespace quillo
