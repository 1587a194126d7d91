#include "AppDelegate.h"

#include "ResourceBundle.h"

namespace quillo {

AppDelegate::AppDelegate()
    : platform_(&ResourceBundle::module),
      shell_({[this] { applicationDidFinishLaunching(); }, [this] { toggleCompanion(); }}) {}

void AppDelegate::applicationDidFinishLaunching() {
    // The Chinese edit menu lives in the web view's context menu, which the web view builds
    // itself; there is no application menu bar to install on this desktop.
    companion = CompanionController::create(platform_);
    companion->start();
    shell_.installStatusItem(platform_.environment().resourceBundle() / "icons");
}

void AppDelegate::toggleCompanion() {
    if (companion) companion->toggleExpanded();
}

void AppDelegate::quitApplication() { gtk::GtkApplicationShell::quit(); }

}  // namespace quillo
