#pragma once

#include <webkit2/webkit2.h>

namespace quillo::gtk {

// How the companion runs WebKit: one small local page, drawn in software. The bench's bare WebKit
// window runs with exactly this as well, so that it stays a fair floor to measure against.
class WebKitProfile {
public:
    // Sets the environment this process and WebKit's child processes start with, in a process
    // that goes on to make a web view (until then, what it starts inherits no GL). Call before
    // GTK is initialised, while no other thread reads the environment (WebKit's memory scavenger,
    // which runs from the start, does not): later changes only replace or remove these variables,
    // which never moves the environment under another thread.
    static void prepareProcesses();
    // One web view's settings, before it loads anything. After the first one this process may
    // use GL again, and the web process (started by the first load) gets the environment as it
    // was.
    static void apply(WebKitWebView* view);
    // Loads the page. The first load starts the web process, which alone runs without the JIT.
    static void load(WebKitWebView* view, const char* uri);
};

}  // namespace quillo::gtk
