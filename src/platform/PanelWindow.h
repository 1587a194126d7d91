#pragma once

#include <chrono>
#include <functional>

#include "Geometry.h"

namespace quillo {

class WebView;

// The borderless floating window that holds the web view.
class PanelWindow {
public:
    virtual ~PanelWindow() = default;

    // Transparent, no shadow, above ordinary windows, on every workspace, no taskbar or pager
    // entry, never hidden when another application is active.
    virtual void configureFloating() = 0;
    // The web view fills the window from now on.
    virtual void setContent(WebView& webView) = 0;
    // Shows and raises the window without taking the keyboard focus and without asking for the
    // user's attention.
    virtual void showWithoutFocus() = 0;
    // Shows and raises the window and gives it the keyboard focus: the answer to the user asking
    // for the companion just now.
    virtual void present() = 0;

    // Where the window is: the frame last asked for, or where someone else (the user through the
    // window manager) has put the window since.
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame) = 0;
    // Eases to the frame over the duration. A newer frame change stops a running animation where
    // it is; `done` runs on a later main-loop turn after the last frame, or after the stop.
    virtual void animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                              std::function<void()> done) = 0;
    // Draws pending changes at once, so that a snapshot taken next sees the new frame.
    virtual void displayNow() = 0;
};

}  // namespace quillo
