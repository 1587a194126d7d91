#include "GtkPanelWindow.h"

#include <cmath>

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

Rect interpolate(const Rect& from, const Rect& to, double f) {
    const auto mix = [f](double a, double b) { return a + (b - a) * f; };
    return {{mix(from.origin.x, to.origin.x), mix(from.origin.y, to.origin.y)},
            {mix(from.size.width, to.size.width), mix(from.size.height, to.size.height)}};
}

struct Animation {
    GtkPanelWindow* panel;
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
    gtk_window_set_default_size(window_, int(contentSize.width), int(contentSize.height));
    apply(frame_);
}

GtkPanelWindow::~GtkPanelWindow() {
    animation_.cancel();
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
    gtk_window_set_resizable(window_, FALSE);
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
    auto* view = static_cast<GtkWebView&>(webView).widget();
    if (content_) gtk_container_remove(GTK_CONTAINER(window_), content_);
    content_ = view;
    gtk_container_add(GTK_CONTAINER(window_), view);
    gtk_widget_set_size_request(view, std::max(1, int(std::lround(frame_.size.width))),
                                std::max(1, int(std::lround(frame_.size.height))));
    apply(frame_);
}

void GtkPanelWindow::showWithoutFocus() {
    gtk_widget_show_all(GTK_WIDGET(window_));
    // Re-assert the place: some window managers pick their own at the first map.
    apply(frame_);
    if (GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_)))
        gdk_window_raise(gdkWindow);
}

void GtkPanelWindow::setFrame(const Rect& frame) {
    animation_.cancel();
    apply(frame);
}

void GtkPanelWindow::apply(const Rect& frame) {
    const bool resized = frame.size != frame_.size || !content_;
    frame_ = frame;
    const int width = std::max(1, int(std::lround(frame.size.width)));
    const int height = std::max(1, int(std::lround(frame.size.height)));
    if (resized) {
        if (content_) gtk_widget_set_size_request(content_, width, height);
        gtk_window_resize(window_, width, height);
    }
    const GdkPoint topLeft = ScreenCoordinates::current().topLeft(frame);
    gtk_window_move(window_, topLeft.x, topLeft.y);
}

void GtkPanelWindow::animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                                  std::function<void()> done) {
    animation_.cancel();
    auto* state = new Animation{this, frame_, frame, g_get_monotonic_time(),
                                std::max<gint64>(1, duration.count() * 1000), std::move(done),
                                [this](const Rect& r) { apply(r); }};
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
    gtk_widget_queue_draw(GTK_WIDGET(window_));
    gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(window_)));
}

}  // namespace quillo::gtk
