#include "GtkPlatform.h"

#include "GtkPanelWindow.h"
#include "GtkWebView.h"
#include "WebKitProfile.h"

namespace quillo::gtk {

GtkPlatform::PreparedProcesses::PreparedProcesses() { WebKitProfile::prepareProcesses(); }

GtkPlatform::GtkPlatform(std::function<std::filesystem::path()> bundle)
    : environment_(std::move(bundle)) {}

std::unique_ptr<WebView> GtkPlatform::createWebView() { return std::make_unique<GtkWebView>(); }

std::unique_ptr<PanelWindow> GtkPlatform::createPanel(Size contentSize) {
    return std::make_unique<GtkPanelWindow>(contentSize);
}

}  // namespace quillo::gtk
