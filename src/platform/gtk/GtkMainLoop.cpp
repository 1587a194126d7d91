#include "GtkMainLoop.h"

#include <glib.h>

namespace quillo::gtk {

namespace {

struct Box {
    MainLoop::Task task;
    bool repeat;
};

gboolean runBox(gpointer data) {
    auto* box = static_cast<Box*>(data);
    box->task();
    return box->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void deleteBox(gpointer data) { delete static_cast<Box*>(data); }

SourceHandle attach(GSource* source, MainLoop::Task task, bool repeat) {
    g_source_set_callback(source, runBox, new Box{std::move(task), repeat}, deleteBox);
    g_source_attach(source, nullptr);
    // The handle keeps its own reference, so destroying a source that already ran is harmless.
    return SourceHandle([source] {
        g_source_destroy(source);
        g_source_unref(source);
    });
}

}  // namespace

void GtkMainLoop::post(Task task) {
    // Safe from any thread: attaching to the default context wakes it.
    g_idle_add_full(G_PRIORITY_DEFAULT, runBox, new Box{std::move(task), false}, deleteBox);
}

SourceHandle GtkMainLoop::postDelayed(std::chrono::milliseconds delay, Task task) {
    return attach(g_timeout_source_new(static_cast<guint>(delay.count())), std::move(task), false);
}

SourceHandle GtkMainLoop::repeating(std::chrono::milliseconds interval, Task task) {
    return attach(g_timeout_source_new(static_cast<guint>(interval.count())), std::move(task), true);
}

}  // namespace quillo::gtk
