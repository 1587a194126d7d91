#include "GtkPanelWindow.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "GtkWebView.h"
#include "ScreenCoordinates.h"

// Xlib's macros (None, Bool, Status) would clash with the headers above; it comes last.
#include <gdk/gdkx.h>

namespace quillo::gtk {

namespace {

// At most this many window moves a second: the eye sees no difference on a slide of a few dozen
// pixels, and every move costs the X server, the window manager and a compositor a redraw.
constexpr guint frameInterval = 34;  // milliseconds
constexpr int slideStep = 2;         // pixels
// Own moves waiting for X's report are at most one animation's worth; older ones were dropped.
constexpr std::size_t maxRequests = 64;

// CSS "ease-in-out" (cubic-bezier(0.42, 0, 0.58, 1)): solve x(t) = progress, return y(t).
double easeInOut(double progress) {
    const auto curve = [](double t, double p1, double p2) {
        const double u = 1 - t;
        return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
    };
    double low = 0, high = 1, t = progress;
    for (int i = 0; i < 30; ++i) {
        t = (low + high) / 2;
        (curve(t, 0.42, 0.58) < progress ? low : high) = t;
    }
    return curve(t, 0.0, 1.0);
}

int pixels(double length) { return ScreenCoordinates::length(length); }

// Adds or removes the class on the document element, also when the script runs so early that
// the element does not exist yet.
std::string compositorClassScript(bool noCompositor) {
    return std::string("(function(){var on=") + (noCompositor ? "true" : "false") +
           ";function apply(){var e=document.documentElement;if(!e)return false;"
           "e.classList.toggle('no-compositor',on);return true;}"
           "if(!apply())new MutationObserver(function(_,o){if(apply())o.disconnect();})"
           ".observe(document,{childList:true});})();";
}

Rect interpolate(const Rect& from, const Rect& to, double f) {
    const auto mix = [f](double a, double b) { return a + (b - a) * f; };
    return {{mix(from.origin.x, to.origin.x), mix(from.origin.y, to.origin.y)},
            {mix(from.size.width, to.size.width), mix(from.size.height, to.size.height)}};
}

// Runs the task on its own main-loop turn.
void later(std::function<void()> task) {
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer d) -> gboolean {
            (*static_cast<std::function<void()>*>(d))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(task)),
        [](gpointer d) { delete static_cast<std::function<void()>*>(d); });
}

}  // namespace

struct GtkPanelWindow::Animation {
    Rect from;
    Rect to;
    gint64 start;
    gint64 duration;
    std::function<void()> done;
};

GtkPanelWindow::GtkPanelWindow(Size contentSize)
    : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))), frame_{{0, 0}, contentSize} {
    g_object_ref_sink(window_);
    gtk_window_set_title(window_, "Quillo");
    gtk_window_set_default_size(window_, pixels(contentSize.width), pixels(contentSize.height));
    apply(frame_, true);
    GdkScreen* screen = gtk_widget_get_screen(GTK_WIDGET(window_));
    const gulong id =
        g_signal_connect(screen, "composited-changed", G_CALLBACK(+[](GdkScreen*, gpointer self) {
                             static_cast<GtkPanelWindow*>(self)->updateCompositorClass(true);
                         }),
                         this);
    compositedChanged_ = SignalConnection(screen, id);
    // GDK reports a window manager's moves late and in root coordinates that it reads back at
    // the time it handles the event; the X events themselves say where the window was when each
    // change happened, in order.
    realized_ = SignalConnection(
        window_, g_signal_connect(
                     window_, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer self) {
                         gdk_window_add_filter(gtk_widget_get_window(widget), filterEvent, self);
                     }),
                     this));
}

GtkPanelWindow::~GtkPanelWindow() {
    animationTick_.cancel();
    animation_.reset();
    compositedChanged_.disconnect();
    pressed_.disconnect();
    if (GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_)))
        gdk_window_remove_filter(gdkWindow, filterEvent, this);
    if (contentManager_ && compositorScript_)
        webkit_user_content_manager_remove_script(contentManager_.get(), compositorScript_.get());
    gtk_widget_destroy(GTK_WIDGET(window_));
    g_object_unref(window_);
}

void GtkPanelWindow::configureFloating() {
    GtkWidget* widget = GTK_WIDGET(window_);
    // Transparent where a compositor runs: an RGBA visual and nothing painted by GTK itself.
    GdkScreen* screen = gtk_widget_get_screen(widget);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) gtk_widget_set_visual(widget, rgba);
    gtk_widget_set_app_paintable(widget, TRUE);
    gtk_window_set_decorated(window_, FALSE);
    // Resizable for GTK, but not for the user: apply() pins the minimum and maximum size to the
    // frame. A window GTK may not resize takes its content's natural size instead, and a web view
    // reports the size its page was laid out at, which would hold the window at the expanded size
    // after a collapse.
    gtk_window_set_resizable(window_, TRUE);
    gtk_window_set_keep_above(window_, TRUE);
    gtk_window_stick(window_);
    gtk_window_set_skip_taskbar_hint(window_, TRUE);
    gtk_window_set_skip_pager_hint(window_, TRUE);
    // Showing the companion never takes the keyboard, and never flags it as demanding attention
    // either. A window manager that is told not to focus a new window (a utility window, or one
    // with a user time of 0) treats it as denied focus; mutter then marks it as demanding
    // attention whenever it overlaps the focused window, which GNOME Shell turns into an
    // "is ready" notification. So the window is an ordinary one that cannot take the keyboard
    // when it appears; it can from the user's first click on it or a deliberate opening on.
    gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_NORMAL);
    gtk_window_set_focus_on_map(window_, TRUE);
    gtk_window_set_accept_focus(window_, FALSE);
}

void GtkPanelWindow::setContent(WebView& webView) {
    auto& view = static_cast<GtkWebView&>(webView);
    if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(window_)))
        gtk_container_remove(GTK_CONTAINER(window_), old);
    gtk_container_add(GTK_CONTAINER(window_), view.widget());
    apply(frame_, true);
    // Runs before the web view's own handling of the press.
    pressed_ = SignalConnection(
        view.widget(),
        g_signal_connect(view.widget(), "button-press-event",
                         G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer data) {
                             auto* self = static_cast<GtkPanelWindow*>(data);
                             if (!gtk_window_get_accept_focus(self->window_))
                                 self->takeKeyboard(event->time);
                             return FALSE;
                         }),
                         this));

    if (contentManager_ && compositorScript_)
        webkit_user_content_manager_remove_script(contentManager_.get(), compositorScript_.get());
    compositorScript_.reset();
    contentManager_.reset(WEBKIT_USER_CONTENT_MANAGER(
        g_object_ref(webkit_web_view_get_user_content_manager(view.view()))));
    // The page is not loaded yet: the user script alone reaches it, before its first paint.
    updateCompositorClass(false);
}

void GtkPanelWindow::updateCompositorClass(bool evaluateNow) {
    if (!contentManager_) return;
    const bool composited = gdk_screen_is_composited(gtk_widget_get_screen(GTK_WIDGET(window_)));
    const std::string script = compositorClassScript(!composited);
    // Kept up to date for any later load of the page, such as a reload.
    if (compositorScript_)
        webkit_user_content_manager_remove_script(contentManager_.get(), compositorScript_.get());
    compositorScript_.reset(
        webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
    webkit_user_content_manager_add_script(contentManager_.get(), compositorScript_.get());
    // The page already shown changes its look at once.
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_));
    if (evaluateNow && child && WEBKIT_IS_WEB_VIEW(child))
        webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(child), script.c_str(), -1, nullptr,
                                            nullptr, nullptr, nullptr, nullptr);
}

void GtkPanelWindow::showWithoutFocus() {
    GtkWidget* widget = GTK_WIDGET(window_);
    if (!gtk_widget_get_mapped(widget)) {
        // A window whose user time is older than the focused window's counts as denied focus
        // (see configureFloating()). Such a time comes with a start-up notification of a launch
        // the user has clicked away from since; the companion appearing is not that.
        gtk_widget_realize(widget);
        GdkWindow* gdkWindow = gtk_widget_get_window(widget);
        if (GDK_IS_X11_WINDOW(gdkWindow))
            gdk_x11_window_set_user_time(gdkWindow, gdk_x11_get_server_time(gdkWindow));
    }
    gtk_widget_show_all(widget);
    // Re-assert the place: some window managers pick their own at the first map.
    apply(frame_, true);
    if (GdkWindow* gdkWindow = gtk_widget_get_window(widget)) gdk_window_raise(gdkWindow);
}

void GtkPanelWindow::present() {
    gtk_widget_show_all(GTK_WIDGET(window_));
    // The user asked for the companion just now, whatever the timestamp of the request says
    // (a forwarded command line from a terminal carries none), so the window manager's
    // focus-stealing prevention must not hold it back: the request counts as of now.
    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_));
    takeKeyboard(GDK_IS_X11_WINDOW(gdkWindow) ? gdk_x11_get_server_time(gdkWindow)
                                              : GDK_CURRENT_TIME);
}

void GtkPanelWindow::takeKeyboard(guint32 time) {
    gtk_window_set_accept_focus(window_, TRUE);
    gtk_window_present_with_time(window_, time);
    if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_))) gtk_widget_grab_focus(child);
}

void GtkPanelWindow::setFrame(const Rect& frame) {
    stopAnimation();
    apply(frame);
}

void GtkPanelWindow::apply(const Rect& frame, bool force) {
    frame_ = frame;
    const GdkRectangle target = ScreenCoordinates::current().toPixels(frame);
    const bool resize = force || target.width != applied_.width || target.height != applied_.height;
    const bool move = force || target.x != applied_.x || target.y != applied_.y;
    applied_ = target;
    const bool mapped = gtk_widget_get_mapped(GTK_WIDGET(window_));
    if (resize) {
        GdkGeometry fixed{};
        fixed.min_width = fixed.max_width = target.width;
        fixed.min_height = fixed.max_height = target.height;
        const auto hints = GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE);
        gtk_window_set_geometry_hints(window_, nullptr, &fixed, hints);
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_)))
            gtk_widget_set_size_request(child, target.width, target.height);
        gtk_window_resize(window_, target.width, target.height);
        // GTK sends a new size and its size hints only at its next layout pass, a move at once: a
        // window manager that keeps windows on screen (mutter) pulls the moved window, still of
        // the old size, back in. So all three go to X together.
        if (mapped) {
            GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_));
            gdk_window_set_geometry_hints(gdkWindow, &fixed, hints);
            gdk_window_move_resize(gdkWindow, target.x, target.y, target.width, target.height);
        }
    }
    if (!move) return;
    if (!resize || !mapped) gtk_window_move(window_, target.x, target.y);
    // Before the first map GTK only keeps the place for then; X reports nothing of it.
    if (!mapped) return;
    requested_.push_back({{target.x, target.y}, frame});
    if (requested_.size() > maxRequests) requested_.pop_front();
}

GdkFilterReturn GtkPanelWindow::filterEvent(GdkXEvent* native, GdkEvent*, gpointer data) {
    auto* self = static_cast<GtkPanelWindow*>(data);
    const auto* event = static_cast<const XEvent*>(native);
    if (event->type == ReparentNotify) {
        self->reparented_ = event->xreparent.parent != gdk_x11_get_default_root_xwindow();
    } else if (event->type == ConfigureNotify &&
               (event->xconfigure.send_event || !self->reparented_)) {
        const XConfigureEvent& c = event->xconfigure;
        self->placed({c.x, c.y, c.width, c.height});
    }
    return GDK_FILTER_CONTINUE;
}

void GtkPanelWindow::placed(const GdkRectangle& where) {
    const auto at = [&where](GdkPoint p) { return p.x == where.x && p.y == where.y; };
    const auto own = std::find_if(requested_.begin(), requested_.end(),
                                  [&at](const Request& r) { return at(r.at); });
    if (own != requested_.end()) {
        confirmed_ = own->at;
        confirmedSize_ = {where.width, where.height};
        // After the last of our moves the window is where that one put it, even if someone
        // else's move was reported in between.
        const GdkRectangle now = ScreenCoordinates::current().toPixels(frame_);
        if (own + 1 == requested_.end() && !at({now.x, now.y})) frame_ = own->frame;
        requested_.erase(requested_.begin(), own + 1);
        return;
    }
    // A size change, or a repeated report of a place already known.
    if ((confirmed_ && at(*confirmed_)) || at({applied_.x, applied_.y})) return;
    // Mutter reads size hints whenever it gets to them: with several frames of a growing
    // animation on their way, it can give the window a later frame's size at an earlier place
    // and push it onto the screen (into a corner) for a moment before it carries out the rest.
    // A report of a size that only a request still on its way has is that, not someone's move.
    const bool sizeOnItsWay =
        std::any_of(requested_.begin(), requested_.end(), [&](const Request& r) {
            const GdkRectangle asked = ScreenCoordinates::current().toPixels(r.frame);
            return asked.width == where.width && asked.height == where.height;
        });
    if (sizeOnItsWay && (where.width != confirmedSize_.x || where.height != confirmedSize_.y))
        return;
    // Someone else moved the window (the user through the window manager, or the window
    // manager itself): it stays there, and a running animation does not drag it back.
    stopAnimation();
    frame_ = ScreenCoordinates::current().toPoints(where);
    applied_ = where;
    confirmed_ = GdkPoint{where.x, where.y};
    confirmedSize_ = {where.width, where.height};
}

void GtkPanelWindow::animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                                  std::function<void()> done) {
    stopAnimation();
    animation_.reset(new Animation{frame_, frame, g_get_monotonic_time(),
                                   std::max<gint64>(1, duration.count() * 1000), std::move(done)});
    // A timer rather than the frame clock: it also ends, and calls back, while the window is
    // unmapped, when the frame clock does not tick.
    GSource* source = g_timeout_source_new(frameInterval);
    g_source_set_callback(
        source,
        [](gpointer self) -> gboolean {
            return static_cast<GtkPanelWindow*>(self)->tick() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(source, nullptr);
    // The handle keeps its own reference, so destroying a source that already ended is harmless.
    animationTick_ = SourceHandle([source] {
        g_source_destroy(source);
        g_source_unref(source);
    });
}

bool GtkPanelWindow::tick() {
    const Animation& a = *animation_;
    const double progress =
        std::min(1.0, double(g_get_monotonic_time() - a.start) / double(a.duration));
    if (progress < 1.0) {
        const Rect now = interpolate(a.from, a.to, easeInOut(progress));
        const GdkRectangle at = ScreenCoordinates::current().toPixels(now);
        // A slide moves the window two pixels at a time: every move wakes the window manager, the
        // web process and us, and at the figure's walking pace single pixels look no smoother.
        const bool slide = at.width == applied_.width && at.height == applied_.height;
        if (!slide || std::abs(at.x - applied_.x) >= slideStep ||
            std::abs(at.y - applied_.y) >= slideStep)
            apply(now);
        return true;
    }
    apply(a.to);
    stopAnimation();
    return false;
}

void GtkPanelWindow::stopAnimation() {
    animationTick_.cancel();
    if (!animation_) return;
    auto done = std::move(animation_->done);
    animation_.reset();
    if (done) later(std::move(done));
}

void GtkPanelWindow::displayNow() {
    // GTK would send the new geometry at its next layout pass; send it now and wait until the X
    // server has carried it out, so that what is asked of the window next sees its new frame.
    gtk_container_check_resize(GTK_CONTAINER(window_));
    gtk_widget_queue_draw(GTK_WIDGET(window_));
    gdk_display_sync(gtk_widget_get_display(GTK_WIDGET(window_)));
}

}  // namespace quillo::gtk
