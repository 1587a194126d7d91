#include "GtkWebView.h"

#include <gdk/gdkkeysyms.h>

#include <cstring>

#include "WebKitProfile.h"

namespace quillo::gtk {

namespace {

void openInBrowser(const char* uri) {
    g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
}

bool isWebAddress(const char* uri) {
    return g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://");
}

// The Chinese edit menu: each item runs WebKit's editing command on the focused element.
struct EditItem {
    const char* title;
    const char* command;
};
struct EditCommand {
    WebKitWebView* view;
    const char* command;
};

void runEditCommand(GSimpleAction*, GVariant*, gpointer data) {
    auto* edit = static_cast<EditCommand*>(data);
    webkit_web_view_execute_editing_command(edit->view, edit->command);
}

constexpr EditItem editItems[] = {
    {"撤销", WEBKIT_EDITING_COMMAND_UNDO}, {nullptr, nullptr}, {"剪切", WEBKIT_EDITING_COMMAND_CUT},
    {"复制", WEBKIT_EDITING_COMMAND_COPY}, {"粘贴", WEBKIT_EDITING_COMMAND_PASTE},
    {"全选", WEBKIT_EDITING_COMMAND_SELECT_ALL},
};

// The page is one local file and keeps nothing between runs: without a context of its own, WebKit
// would make caches, HSTS and storage folders under ~/.cache and ~/.local/share at every start.
// One per process, like the default context it replaces.
WebKitWebContext* ephemeralContext() {
    static WebKitWebContext* const context = webkit_web_context_new_ephemeral();
    return context;
}

}  // namespace

GtkWebView::GtkWebView()
    : contentManager_(webkit_user_content_manager_new()),
      view_(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", ephemeralContext(),
                                         "user-content-manager", contentManager_, nullptr))) {
    g_object_ref_sink(view_);
    WebKitProfile::apply(view_);

    g_signal_connect(view_, "decide-policy", G_CALLBACK(decidePolicy), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(contextMenu), this);
    g_signal_connect(view_, "key-press-event", G_CALLBACK(keyPress), this);
    g_signal_connect(view_, "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         auto* me = static_cast<GtkWebView*>(self);
                         if (event == WEBKIT_LOAD_FINISHED && me->loadFinished_) me->loadFinished_();
                     }),
                     this);
    // Zoom stays at 1 whatever the keyboard or the wheel asks.
    g_signal_connect(view_, "notify::zoom-level",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                         auto* me = static_cast<GtkWebView*>(self);
                         if (!me->magnificationAllowed_ &&
                             webkit_web_view_get_zoom_level(me->view_) != 1.0)
                             webkit_web_view_set_zoom_level(me->view_, 1.0);
                     }),
                     this);
}

GtkWebView::~GtkWebView() {
    handlers_.clear();
    g_signal_handlers_disconnect_by_data(view_, this);
    if (gtk_widget_get_parent(GTK_WIDGET(view_)))
        gtk_container_remove(GTK_CONTAINER(gtk_widget_get_parent(GTK_WIDGET(view_))),
                             GTK_WIDGET(view_));
    g_object_unref(view_);
    g_object_unref(contentManager_);
}

void GtkWebView::setTransparentBackground() {
    const GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &clear);
}

void GtkWebView::setMagnificationAllowed(bool allowed) {
    magnificationAllowed_ = allowed;
    if (!allowed) webkit_web_view_set_zoom_level(view_, 1.0);
}

void GtkWebView::setLoadFinishedHandler(std::function<void()> handler) {
    loadFinished_ = std::move(handler);
}

void GtkWebView::addScriptMessageHandler(const std::string& name,
                                         std::shared_ptr<ScriptMessageHandler> handler) {
    removeScriptMessageHandler(name);
    if (!webkit_user_content_manager_register_script_message_handler(contentManager_,
                                                                      name.c_str()))
        return;
    auto registration = std::make_unique<Registration>();
    registration->handler = std::move(handler);
    const std::string signal = "script-message-received::" + name;
    const gulong id = g_signal_connect(
        contentManager_, signal.c_str(),
        G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
            auto* handler = static_cast<Registration*>(data)->handler.get();
            JSCValue* value = webkit_javascript_result_get_js_value(result);
            GCharPtr json(jsc_value_to_json(value, 0));
            // Values JSON cannot express (undefined, functions) arrive as nothing and are dropped
            // like any other body that is not an object.
            if (!json) return;
            auto body = nlohmann::json::parse(json.get(), nullptr, /*allow_exceptions=*/false);
            if (!body.is_discarded()) handler->didReceiveScriptMessage(body);
        }),
        registration.get());
    registration->connection = SignalConnection(contentManager_, id);
    handlers_[name] = std::move(registration);
}

void GtkWebView::removeScriptMessageHandler(const std::string& name) {
    auto it = handlers_.find(name);
    if (it == handlers_.end()) return;
    webkit_user_content_manager_unregister_script_message_handler(contentManager_, name.c_str());
    handlers_.erase(it);
}

void GtkWebView::loadFile(const std::filesystem::path& page) {
    GCharPtr uri(g_filename_to_uri(page.c_str(), nullptr, nullptr));
    if (!uri) return;
    pageURI_ = uri.get();
    WebKitProfile::load(view_, pageURI_.c_str());
}

void GtkWebView::evaluateScript(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_, script.data(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

void GtkWebView::takeSnapshot(std::function<void(std::optional<std::string>)> completion) {
    using Completion = std::function<void(std::optional<std::string>)>;
    webkit_web_view_get_snapshot(
        view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Completion> completion(static_cast<Completion*>(data));
            cairo_surface_t* surface =
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            if (!surface) return (*completion)(std::nullopt);
            std::string png;
            const auto status = cairo_surface_write_to_png_stream(
                surface,
                [](void* closure, const unsigned char* bytes, unsigned int length) {
                    static_cast<std::string*>(closure)->append(
                        reinterpret_cast<const char*>(bytes), length);
                    return CAIRO_STATUS_SUCCESS;
                },
                &png);
            cairo_surface_destroy(surface);
            if (status != CAIRO_STATUS_SUCCESS || png.empty()) return (*completion)(std::nullopt);
            (*completion)(std::move(png));
        },
        new Completion(std::move(completion)));
}

gboolean GtkWebView::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer self) {
    auto* me = static_cast<GtkWebView*>(self);
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    // The page itself (and reloads of it) may load; anything else it links to goes to the
    // browser when it is a web address, and nowhere otherwise. The companion never navigates.
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && uri && me->pageURI_ == uri) {
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    if (uri && isWebAddress(uri) &&
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED)
        openInBrowser(uri);
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

gboolean GtkWebView::contextMenu(WebKitWebView* view, WebKitContextMenu* menu, GdkEvent*,
                                 WebKitHitTestResult*, gpointer) {
    webkit_context_menu_remove_all(menu);
    for (const auto& item : editItems) {
        if (!item.title) {
            webkit_context_menu_append(menu, webkit_context_menu_item_new_separator());
            continue;
        }
        GSimpleAction* action = g_simple_action_new(item.command, nullptr);
        g_signal_connect_data(
            action, "activate", G_CALLBACK(runEditCommand), new EditCommand{view, item.command},
            [](gpointer data, GClosure*) { delete static_cast<EditCommand*>(data); },
            GConnectFlags(0));
        webkit_context_menu_append(
            menu, webkit_context_menu_item_new_from_gaction(G_ACTION(action), item.title, nullptr));
        g_object_unref(action);
    }
    return FALSE;
}

gboolean GtkWebView::keyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
    auto* me = static_cast<GtkWebView*>(self);
    const auto modifiers = event->state & (gtk_accelerator_get_default_mod_mask() | GDK_LOCK_MASK);
    const guint key = gdk_keyval_to_lower(event->keyval);
    // Control alone: with Shift, Alt, Super or Caps Lock the key goes to WebKit's own handling.
    if (modifiers == GDK_CONTROL_MASK && key == GDK_KEY_v) {
        webkit_web_view_execute_editing_command(me->view_, WEBKIT_EDITING_COMMAND_PASTE);
        return TRUE;
    }
    if (!me->magnificationAllowed_ && (modifiers & GDK_CONTROL_MASK) &&
        (key == GDK_KEY_plus || key == GDK_KEY_equal || key == GDK_KEY_minus ||
         key == GDK_KEY_KP_Add || key == GDK_KEY_KP_Subtract || key == GDK_KEY_0))
        return TRUE;
    return FALSE;
}

}  // namespace quillo::gtk
