#include "GtkPlatform.h"

#include "GtkPanelWindow.h"
#include "GtkWebView.h"

namespace quillo::gtk {

std::unique_ptr<WebView> GtkPlatform::createWebView() { return std::make_unique<GtkWebView>(); }

std::unique_ptr<PanelWindow> GtkPlatform::createPanel(Size contentSize) {
    return std::make_unique<GtkPanelWindow>(contentSize);
}

}  // namespace quillo::gtk
