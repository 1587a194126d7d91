#include "GtkPanelWindow.h"

#include <cmath>
#include <string>

#include "GtkWebView.h"
#include "ScreenCoordinates.h"

namespace quillo::gtk {

namespace {

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

struct Animation {
    Rect from;
    Rect to;
    gint64 start;
    gint64 duration;
    std::function<void()> done;
    std::function<void(const Rect&)> apply;
};

}  // namespace

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
}

GtkPanelWindow::~GtkPanelWindow() {
    animation_.cancel();
    compositedChanged_.disconnect();
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
    gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_UTILITY);
    // Showing or moving the companion never takes the keyboard; a click into a text field of the
    // page still may.
    gtk_window_set_focus_on_map(window_, FALSE);
    gtk_window_set_accept_focus(window_, TRUE);
}

void GtkPanelWindow::setContent(WebView& webView) {
    auto& view = static_cast<GtkWebView&>(webView);
    if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(window_)))
        gtk_container_remove(GTK_CONTAINER(window_), old);
    gtk_container_add(GTK_CONTAINER(window_), view.widget());
    apply(frame_, true);

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
    gtk_widget_show_all(GTK_WIDGET(window_));
    // Re-assert the place: some window managers pick their own at the first map.
    apply(frame_, false);
    if (GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_)))
        gdk_window_raise(gdkWindow);
}

void GtkPanelWindow::setFrame(const Rect& frame) {
    animation_.cancel();
    apply(frame, frame.size != frame_.size);
}

void GtkPanelWindow::apply(const Rect& frame, bool resize) {
    frame_ = frame;
    const GdkRectangle target = ScreenCoordinates::current().toPixels(frame);
    if (resize) {
        GdkGeometry fixed{};
        fixed.min_width = fixed.max_width = target.width;
        fixed.min_height = fixed.max_height = target.height;
        gtk_window_set_geometry_hints(window_, nullptr, &fixed,
                                      GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_)))
            gtk_widget_set_size_request(child, target.width, target.height);
        gtk_window_resize(window_, target.width, target.height);
    }
    gtk_window_move(window_, target.x, target.y);
}

void GtkPanelWindow::animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                                  std::function<void()> done) {
    animation_.cancel();
    auto* state = new Animation{frame_,
                                frame,
                                g_get_monotonic_time(),
                                std::max<gint64>(1, duration.count() * 1000),
                                std::move(done),
                                [this](const Rect& r) { apply(r, r.size != frame_.size); }};
    // A 60 Hz timer rather than the frame clock: it also ends, and calls back, while the window
    // is unmapped, when the frame clock does not tick.
    GSource* source = g_timeout_source_new(16);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* a = static_cast<Animation*>(data);
            const double progress =
                std::min(1.0, double(g_get_monotonic_time() - a->start) / double(a->duration));
            a->apply(interpolate(a->from, a->to, easeInOut(progress)));
            if (progress < 1.0) return G_SOURCE_CONTINUE;
            a->apply(a->to);
            if (auto done = std::move(a->done)) {
                // The completion runs on its own main-loop turn, after the last frame.
                g_idle_add_full(
                    G_PRIORITY_DEFAULT,
                    [](gpointer d) -> gboolean {
                        (*static_cast<std::function<void()>*>(d))();
                        return G_SOURCE_REMOVE;
                    },
                    new std::function<void()>(std::move(done)),
                    [](gpointer d) { delete static_cast<std::function<void()>*>(d); });
            }
            return G_SOURCE_REMOVE;
        },
        state, [](gpointer data) { delete static_cast<Animation*>(data); });
    g_source_attach(source, nullptr);
    animation_ = SourceHandle([source] {
        g_source_destroy(source);
        g_source_unref(source);
    });
}

void GtkPanelWindow::displayNow() {
    // GTK would send the new geometry at its next layout pass; send it now and wait until the X
    // server has carried it out, so that what is asked of the window next sees its new frame.
    gtk_container_check_resize(GTK_CONTAINER(window_));
    gtk_widget_queue_draw(GTK_WIDGET(window_));
    gdk_display_sync(gtk_widget_get_display(GTK_WIDGET(window_)));
}

}  // namespace quillo::gtk
