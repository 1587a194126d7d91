#include "ChildProcessGroups.h"

#include <gdk/gdkx.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <utility>

namespace quillo::gtk::ChildProcessGroups {

namespace {

// Plain slots a signal handler can read: one reader runs at a time, so a few are plenty.
std::array<std::atomic<pid_t>, 8> groups{};
static_assert(std::atomic<pid_t>::is_always_lock_free);

XIOErrorHandler displayLostBefore = nullptr;

void endAllThenDie(int signal) {
    endAll();
    // The handler was reset on entry: the signal, pending until this returns, ends the process
    // as it would have without us.
    ::raise(signal);
}

int displayLost(Display* display) {
    endAll();
    // GDK's own handler says what happened and exits.
    return displayLostBefore ? displayLostBefore(display) : 0;
}

}  // namespace

void add(pid_t group) {
    for (auto& slot : groups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, group)) return;
    }
}

void remove(pid_t group) {
    for (auto& slot : groups) {
        pid_t expected = group;
        slot.compare_exchange_strong(expected, 0);
    }
}

void endAll() noexcept {
    for (auto& slot : groups) {
        if (const pid_t group = slot.load(); group > 0) ::kill(-group, SIGKILL);
    }
}

void endWithProcess() {
    static bool installed = false;
    if (std::exchange(installed, true)) return;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current {};
        // A signal the starter chose to ignore (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = endAllThenDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    if (GDK_IS_X11_DISPLAY(gdk_display_get_default()))
        displayLostBefore = XSetIOErrorHandler(displayLost);
}

}  // namespace quillo::gtk::ChildProcessGroups
