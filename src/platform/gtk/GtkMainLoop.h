#pragma once

#include "platform/MainLoop.h"

namespace quillo::gtk {

// The GLib default main context. Every source holds its task boxed with a destroy-notify, so a
// source removed before it ran never leaks its task.
class GtkMainLoop : public MainLoop {
public:
    void post(Task task) override;
    SourceHandle postDelayed(std::chrono::milliseconds delay, Task task) override;
    SourceHandle repeating(std::chrono::milliseconds interval, Task task) override;
};

}  // namespace quillo::gtk
