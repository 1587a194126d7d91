#pragma once

#include <sys/types.h>

// The process groups of the children the companion runs (the summary reader and whatever that
// starts). Each leads a group of its own, so nothing ends it together with the companion: every
// way out of the process ends the groups still recorded here first.
namespace quillo::gtk::ChildProcessGroups {

void add(pid_t group);
void remove(pid_t group);

// Kills every recorded group. Safe inside a signal handler.
void endAll() noexcept;

// Makes the ways out that do not pass through the application's own quit end the groups too:
// SIGTERM (also what a closed session bus raises), SIGINT and SIGHUP, each then ending the
// process as it would have, and the loss of the X display. Call once the display is open.
void endWithProcess();

}  // namespace quillo::gtk::ChildProcessGroups
