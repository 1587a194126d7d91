#pragma once

namespace quillo {

// `quillo-companion diary [--json]`: prints today's merged diary (with --json the object the page
// receives) and returns the exit status. Needs no display: GTK is never started.
int runDiaryCommand(int argc, char** argv);

}  // namespace quillo
