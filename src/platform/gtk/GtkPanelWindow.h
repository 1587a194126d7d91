#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <deque>
#include <memory>
#include <optional>

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
    void present() override;
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
    struct Animation;
    // A position asked of X that X has not reported back yet.
    struct Request {
        GdkPoint at;
        Rect frame;
    };

    static GdkFilterReturn filterEvent(GdkXEvent* native, GdkEvent* event, gpointer self);
    // Sends X only what changed in whole pixels; `force` sends the size and place regardless.
    void apply(const Rect& frame, bool force = false);
    bool tick();
    // Ends a running animation where it is; its completion still comes.
    void stopAnimation();
    // The X server says where the window is now.
    void placed(const GdkRectangle& where);
    void takeKeyboard(guint32 time);
    // Tells the page, before it draws, whether transparency works; without a compositor the
    // transparent corners of the window would show black.
    void updateCompositorClass(bool evaluateNow);

    GtkWindow* window_;
    // Where the window is asked to be, or where someone else put it (see placed()).
    Rect frame_;
    // What X was last asked for, in pixels.
    GdkRectangle applied_{};
    // Our own moves that X has not reported yet, oldest first, and the last one it did report:
    // a report of either is no move by someone else.
    std::deque<Request> requested_;
    std::optional<GdkPoint> confirmed_;
    // The size X last reported with a place we know.
    GdkPoint confirmedSize_{};
    // A reparenting window manager reports positions in its frame, and the root ones by sent
    // (synthetic) events only.
    bool reparented_ = false;
    std::unique_ptr<Animation> animation_;
    SourceHandle animationTick_;
    GObjectPtr<WebKitUserContentManager> contentManager_;
    std::unique_ptr<WebKitUserScript, UserScriptUnref> compositorScript_;
    SignalConnection compositedChanged_;
    SignalConnection realized_;
    SignalConnection pressed_;
};

}  // namespace quillo::gtk
