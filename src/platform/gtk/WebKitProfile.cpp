#include "WebKitProfile.h"

#include <optional>
#include <string>
#include <vector>

namespace quillo::gtk {

namespace {

// Variables set by prepareProcesses(), each with its value from before, to give back at its time.
struct Setting {
    std::string name;
    std::optional<std::string> original;
};

using Settings = std::vector<Setting>;

Settings& untilFirstWebView() {
    static Settings settings;
    return settings;
}

Settings& untilFirstLoad() {
    static Settings settings;
    return settings;
}

void set(Settings& settings, const char* name, const char* value) {
    const char* original = g_getenv(name);
    settings.push_back({name, original ? std::optional<std::string>(original) : std::nullopt});
    g_setenv(name, value, TRUE);
}

void giveBack(Settings& settings) {
    for (const auto& [name, original] : settings) {
        if (original)
            g_setenv(name.c_str(), original->c_str(), TRUE);
        else
            g_unsetenv(name.c_str());
    }
    settings.clear();
}

}  // namespace

void WebKitProfile::prepareProcesses() {
    // Mesa maps its driver, and with it libLLVM, into every process that opens a GL or EGL
    // display: GDK probes GLX when it opens the display, and WebKit opens an EGL display here when
    // it makes a web view (about 16 MB private in all). Neither is needed to show what the web
    // process draws in software, so this process sees no GL until its first web view exists. The
    // web process cannot do without its EGL display (WebKit aborts) and is started after that.
    set(untilFirstWebView(), "GDK_GL", "disable");
    set(untilFirstWebView(), "__EGL_VENDOR_LIBRARY_FILENAMES", "/dev/null/no-vendor.json");
    // The page's scripts are small and run seldom: JavaScriptCore's interpreter serves them, and
    // the web process keeps about 10 MB less without the JIT's code and bookkeeping. Only the web
    // process: a browser this process opens later must not inherit it. A value the user set stays.
    if (!g_getenv("JSC_useJIT")) set(untilFirstLoad(), "JSC_useJIT", "0");
}

void WebKitProfile::apply(WebKitWebView* view) {
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    // One small local page: no GL compositing (about 50 MB less in the web process with software
    // rendering), no page cache, no developer or plug-in machinery.
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
    webkit_web_context_set_cache_model(webkit_web_view_get_context(view),
                                       WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    giveBack(untilFirstWebView());
}

void WebKitProfile::load(WebKitWebView* view, const char* uri) {
    // WebKit starts the web process within this call, with the environment as it is now.
    webkit_web_view_load_uri(view, uri);
    giveBack(untilFirstLoad());
}

}  // namespace quillo::gtk
