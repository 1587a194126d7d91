#pragma once

#include <gtk/gtk.h>

#include "GObjectPtr.h"
#include "platform/PanelWindow.h"
#include "platform/SourceHandle.h"

namespace quillo::gtk {

class GtkPanelWindow : public PanelWindow {
public:
    explicit GtkPanelWindow(Size contentSize);
    ~GtkPanelWindow() override;

    void configureFloating() override;
    void setContent(WebView& webView) override;
    void showWithoutFocus() override;
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame) override;
    void animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                      std::function<void()> done) override;
    void displayNow() override;

    GtkWindow* window() const { return window_; }

private:
    void apply(const Rect& frame);

    GtkWindow* window_;
    GtkWidget* content_ = nullptr;
    // The frame last asked for. Kept here rather than read back from X, whose answer lags behind
    // a move by a round trip and would make drags and animations stutter.
    Rect frame_;
    SourceHandle animation_;
};

}  // namespace quillo::gtk
