#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

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
    struct UserScriptUnref {
        void operator()(WebKitUserScript* script) const { webkit_user_script_unref(script); }
    };

    void apply(const Rect& frame, bool resize);
    // Tells the page, before it draws, whether transparency works; without a compositor the
    // transparent corners of the window would show black.
    void updateCompositorClass(bool evaluateNow);

    GtkWindow* window_;
    // The frame last asked for. Kept here rather than read back from X, whose answer lags behind
    // a move by a round trip and would make drags and animations stutter.
    Rect frame_;
    SourceHandle animation_;
    GObjectPtr<WebKitUserContentManager> contentManager_;
    std::unique_ptr<WebKitUserScript, UserScriptUnref> compositorScript_;
    SignalConnection compositedChanged_;
};

}  // namespace quillo::gtk
