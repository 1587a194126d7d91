#pragma once

#include <memory>

#include "companion/CompanionController.h"
#include "platform/gtk/GtkApplicationShell.h"
#include "platform/gtk/GtkPlatform.h"

namespace quillo {

// Creates the one companion when the application has launched, and owns it with the tray item
// for the life of the process.
class AppDelegate {
public:
    AppDelegate();
    int run(int argc, char** argv) { return shell_.run(argc, argv); }

    void applicationDidFinishLaunching();
    void toggleCompanion();
    [[noreturn]] void quitApplication();

private:
    gtk::GtkPlatform platform_;
    gtk::GtkApplicationShell shell_;
    std::shared_ptr<CompanionController> companion;
};

}  // namespace quillo
