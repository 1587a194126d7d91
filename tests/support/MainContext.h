#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

namespace quillo::testing {

// Runs the default main context until `done` holds or the limit has passed. A 50 ms tick also
// re-checks conditions that change outside the loop (files, other processes); nothing sleeps.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const gint64 deadline = g_get_monotonic_time() + limit.count() * 1000;
    const guint tick = g_timeout_add(
        50, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    // `done` is asked once per turn and never again after it holds: some conditions act (press
    // a key, look a window up) and could say otherwise a moment later.
    bool held = false;
    while (!(held = done()) && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    return held;
}

}  // namespace quillo::testing
