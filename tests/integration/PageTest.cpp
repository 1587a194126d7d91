// The companion page in the engine the app ships with: a WebKitWebView in a real GTK window,
// loading the build tree's bundle, driven through the same page functions the app calls and
// listened to through the same "companion" message handler.

#include <cairo.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 20s;
constexpr const char* kEmptyDiary = "## 今天做了什么\n\n";
constexpr const char* kEndMarker = "__page_test_end";
constexpr int kWindowX = 240;
constexpr int kWindowY = 160;

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GChars = std::unique_ptr<char, GFreeDeleter>;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Runs the default main context until `done` holds or the limit has passed; the one timeout
// source only wakes the loop at the deadline, everything else is the page's own events.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWaitLimit) {
    if (done()) return true;
    bool expired = false;
    const guint timer = g_timeout_add(
        static_cast<guint>(limit.count()),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(timer);
    return done();
}

std::filesystem::path snapshotDir() {
    if (const char* dir = std::getenv("QUILLO_PAGE_SNAPSHOT_DIR"); dir && *dir) {
        std::filesystem::create_directories(dir);
        return dir;
    }
    return ::testing::TempDir();
}

// One page in one window of the given size.
class Page {
public:
    Page(int width, int height) {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
        gtk_window_set_resizable(GTK_WINDOW(window_), TRUE);
        gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window_))) {
            gtk_widget_set_visual(window_, rgba);
        }
        gtk_widget_set_app_paintable(window_, TRUE);

        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new());
        // The settings the app runs the page with.
        WebKitSettings* settings = webkit_web_view_get_settings(view_);
        webkit_settings_set_hardware_acceleration_policy(settings,
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        webkit_settings_set_enable_page_cache(settings, FALSE);
        gtk_widget_set_size_request(GTK_WIDGET(view_), width, height);
        const GdkRGBA clear{0, 0, 0, 0};
        webkit_web_view_set_background_color(view_, &clear);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));

        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view_);
        g_signal_connect(content, "script-message-received::companion",
                         G_CALLBACK(&Page::onMessage), this);
        webkit_user_content_manager_register_script_message_handler(content, "companion");
        g_signal_connect(view_, "load-changed", G_CALLBACK(&Page::onLoadChanged), this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(&Page::onLoadFailed), this);
        g_signal_connect(view_, "web-process-terminated", G_CALLBACK(&Page::onCrash), this);

        // A fixed place on the screen, so that real pointer input lands at known coordinates.
        gtk_window_move(GTK_WINDOW(window_), kWindowX, kWindowY);
        gtk_widget_show_all(window_);

        const std::filesystem::path page =
            std::filesystem::path(QUILLO_BUILD_BUNDLE) / "index.html";
        GChars uri(g_filename_to_uri(page.c_str(), nullptr, nullptr));
        webkit_web_view_load_uri(view_, uri.get());
        loaded_ = runUntil([this] { return finished_ || failed_; }) && finished_ && !failed_;
        // Small helpers for the tests: synthetic pointer and key events, visibility.
        if (loaded_) {
            run(R"(
                window.__test = {
                    pointer(type, selector, screenX, screenY) {
                        const el = document.querySelector(selector);
                        const r = el.getBoundingClientRect();
                        el.dispatchEvent(new PointerEvent(type, {
                            bubbles: true, cancelable: true, composed: true,
                            pointerId: 1, pointerType: 'mouse', isPrimary: true,
                            button: type === 'pointermove' ? -1 : 0,
                            buttons: type === 'pointerup' ? 0 : 1,
                            screenX, screenY, clientX: r.left + 8, clientY: r.top + 8 }));
                    },
                    key(key) {
                        document.activeElement.dispatchEvent(
                            new KeyboardEvent('keydown', { key, bubbles: true, cancelable: true }));
                    },
                    shown(id) {
                        const el = document.getElementById(id);
                        return !!el && el.getClientRects().length > 0 &&
                            getComputedStyle(el).visibility !== 'hidden';
                    },
                };
                return true;
            )");
        }
    }

    ~Page() {
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view_);
        g_signal_handlers_disconnect_by_data(content, this);
        g_signal_handlers_disconnect_by_data(view_, this);
        gtk_widget_destroy(window_);
    }

    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    bool loaded() const { return loaded_; }
    bool crashed() const { return crashed_; }

    // Runs `body` as the body of an async function in the page and returns its result as JSON
    // (null for undefined); a promise it returns is awaited.
    json run(const std::string& body) {
        struct Call {
            bool done = false;
            json result;
            std::string error;
        };
        auto call = std::make_shared<Call>();
        webkit_web_view_call_async_javascript_function(
            view_, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Call>> holder(
                    static_cast<std::shared_ptr<Call>*>(data));
                Call& c = **holder;
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(source), result, &error);
                if (error) {
                    c.error = error->message;
                    g_error_free(error);
                } else if (value) {
                    GChars text(jsc_value_to_json(value, 0));
                    if (text) c.result = json::parse(text.get(), nullptr, false);
                    g_object_unref(value);
                }
                c.done = true;
            },
            new std::shared_ptr<Call>(call));
        const bool finished = runUntil([&] { return call->done; });
        EXPECT_TRUE(finished) << "script did not finish: " << body;
        EXPECT_EQ(call->error, "") << "in script: " << body;
        return call->result;
    }

    // Runs `body` and returns the messages the page posted while it ran, in order. A marker
    // posted after the body tells when every earlier message has come through.
    std::vector<json> postedBy(const std::string& body) {
        messages_.clear();
        run(body + "\n;window.webkit.messageHandlers.companion.postMessage({type: '" + kEndMarker +
            "'}); return true;");
        const bool marked = runUntil(
            [&] { return !messages_.empty() && messages_.back().value("type", "") == kEndMarker; });
        EXPECT_TRUE(marked) << "the end marker never arrived";
        std::vector<json> posted(messages_.begin(), marked ? messages_.end() - 1 : messages_.end());
        messages_.clear();
        return posted;
    }

    // Real X input, through xdotool and the XTest extension, at points of the web view.
    bool press(int x, int y) { return realInput(x, y, {"mousedown", "1"}); }
    bool release(int x, int y) { return realInput(x, y, {"mouseup", "1"}); }
    bool key(const char* name) {
        gtk_widget_grab_focus(GTK_WIDGET(view_));
        return realInput(10, 10, {"key", name});
    }
    // Where the web view's top-left corner is on the screen.
    std::pair<int, int> screenOrigin() {
        int x = 0, y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(view_)), &x, &y);
        return {x, y};
    }
    // Waits for a message of the given type and hands over everything posted until then.
    std::vector<json> messagesUntil(const std::string& type) {
        const auto seen = [&] {
            for (const json& m : messages_) {
                if (m.value("type", "") == type) return true;
            }
            return false;
        };
        EXPECT_TRUE(runUntil(seen)) << "no " << type << " message arrived";
        std::vector<json> posted;
        posted.swap(messages_);
        return posted;
    }

    bool realInput(int x, int y, std::vector<std::string> action) {
        const auto [left, top] = screenOrigin();
        std::vector<std::string> args = {"xdotool", "mousemove", std::to_string(left + x),
                                         std::to_string(top + y)};
        args.insert(args.end(), action.begin(), action.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        gint status = -1;
        GError* error = nullptr;
        const bool spawned = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH,
                                          nullptr, nullptr, nullptr, nullptr, &status, &error);
        EXPECT_TRUE(spawned) << (error ? error->message : "") << " (xdotool comes with the set-up)";
        if (error) g_error_free(error);
        return spawned && g_spawn_check_wait_status(status, nullptr);
    }

    void resize(int width, int height) {
        gtk_widget_set_size_request(GTK_WIDGET(view_), width, height);
        gtk_window_resize(GTK_WINDOW(window_), width, height);
    }

    Surface snapshot() {
        struct Shot {
            bool done = false;
            cairo_surface_t* surface = nullptr;
        };
        auto shot = std::make_shared<Shot>();
        webkit_web_view_get_snapshot(
            view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND,
            nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Shot>> holder(
                    static_cast<std::shared_ptr<Shot>*>(data));
                GError* error = nullptr;
                (*holder)->surface =
                    webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
                if (error) g_error_free(error);
                (*holder)->done = true;
            },
            new std::shared_ptr<Shot>(shot));
        runUntil([&] { return shot->done; });
        return Surface(shot->surface);
    }

private:
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                          gpointer self) {
        GChars text(jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0));
        static_cast<Page*>(self)->messages_.push_back(text ? json::parse(text.get(), nullptr, false)
                                                           : json());
    }
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
        if (event == WEBKIT_LOAD_FINISHED) static_cast<Page*>(self)->finished_ = true;
    }
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, gpointer self) {
        static_cast<Page*>(self)->failed_ = true;
        return FALSE;
    }
    static void onCrash(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self) {
        static_cast<Page*>(self)->crashed_ = true;
    }

    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    bool finished_ = false;
    bool failed_ = false;
    bool crashed_ = false;
    bool loaded_ = false;
    std::vector<json> messages_;
};

std::string diaryCall(const std::string& content, const std::string& title = "2026年12月6日星期日",
                      const std::string& source = "KILN + Tansy工作 · 本地记忆") {
    return "window.quilloSetDiary(" +
           json{{"title", title}, {"source", source}, {"content", content}}.dump() + ");";
}

std::string syncStateCall(bool connected, const std::string& status, const std::string& message) {
    return "window.quilloSetSyncState(" +
           json{{"connected", connected}, {"status", status}, {"message", message}}.dump() + ");";
}

std::vector<std::string> typesOf(const std::vector<json>& messages) {
    std::vector<std::string> types;
    for (const json& m : messages) types.push_back(m.value("type", ""));
    return types;
}

// The alpha of one pixel of a premultiplied ARGB32 snapshot.
int alphaAt(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    std::uint32_t pixel;
    std::memcpy(&pixel, data + y * stride + x * 4, sizeof pixel);
    return static_cast<int>(pixel >> 24);
}

const std::string kRealisticDiary =
    "## 今天做了什么\n\n"
    "### KILN\n"
    "- 把日记同步接口的超时从 30 秒调到 15 秒，失败时给出更清楚的提示。\n"
    "- 修好了展开面板时滚动位置没有回到顶部的问题。\n"
    "- 和设计一起过了一遍新的空状态插画；\n\n"
    "### Tansy工作\n"
    "- 整理了本周的阅读笔记，归档到 `notes/2026-12` 目录。\n"
    "- 回复了三封关于 [发布计划](https://quillo.app/plan) 的邮件。\n\n"
    "## 今天学到了什么\n\n"
    "- WebKitGTK 的快照可以保留透明背景，适合做桌面小部件的截图。\n"
    "- 持续运行的 CSS 动画在软件渲染下大约要占一成的 CPU。\n"
    "- **少即是多**：空闲时什么都不做，才是真正的省电。";

class PageTest : public ::testing::Test {
protected:
    Page& open(int width, int height) {
        page_ = std::make_unique<Page>(width, height);
        EXPECT_TRUE(page_->loaded()) << "the page did not load from " << QUILLO_BUILD_BUNDLE;
        return *page_;
    }
    void TearDown() override {
        if (page_) {
            EXPECT_FALSE(page_->crashed()) << "the web process ended";
        }
        page_.reset();
    }

    // Plays animations only while the test wants them, whatever the desktop's setting.
    static void setDesktopAnimations(bool enabled) {
        g_object_set(gtk_settings_get_default(), "gtk-enable-animations", enabled, nullptr);
    }

    std::unique_ptr<Page> page_;
};

void saveSnapshot(Page& page, const std::string& name, int width, int height) {
    Surface shot = page.snapshot();
    ASSERT_TRUE(shot) << name;
    EXPECT_EQ(cairo_image_surface_get_width(shot.get()), width) << name;
    EXPECT_EQ(cairo_image_surface_get_height(shot.get()), height) << name;
    const auto path = snapshotDir() / name;
    EXPECT_EQ(cairo_surface_write_to_png(shot.get(), path.c_str()), CAIRO_STATUS_SUCCESS) << path;
}

// ---------------------------------------------------------------------------------- contract

TEST_F(PageTest, DefinesEveryFunctionTheAppCalls) {
    Page& page = open(64, 64);
    const json types = page.run(R"(
        return [typeof window.quilloSetDiary, typeof window.quilloAbsorb,
                typeof window.quilloSetSyncState, typeof window.quilloSetSyncToken,
                typeof window.quilloWalk, typeof window.__quilloDebug?.resetScroll,
                typeof window.__quilloDebug?.setExpanded, typeof window.markdownit];
    )");
    EXPECT_EQ(types, json(std::vector<std::string>(8, "function")));
}

TEST_F(PageTest, LoadingPostsNothingAndLeavesNothingAnimating) {
    Page& page = open(64, 64);
    EXPECT_EQ(typesOf(page.postedBy("")), std::vector<std::string>{});
    EXPECT_EQ(page.run("return document.getAnimations().length;"), 0);
}

TEST_F(PageTest, InlineScriptIsRefusedByTheContentSecurityPolicy) {
    Page& page = open(64, 64);
    const json result = page.run(R"(
        const s = document.createElement('script');
        s.textContent = 'window.__inlineRan = true;';
        document.body.appendChild(s);
        const meta = document.querySelector('meta[http-equiv="Content-Security-Policy"]');
        return { ran: window.__inlineRan === true, policy: meta ? meta.content : '' };
    )");
    EXPECT_FALSE(result["ran"].get<bool>());
    const std::string policy = result["policy"].get<std::string>();
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
}

// ------------------------------------------------------------------------------------- diary

TEST_F(PageTest, DiaryIsRenderedFromMarkdown) {
    Page& page = open(370, 500);
    const json shown = page.run(diaryCall(kRealisticDiary) + R"(
        const d = document.getElementById('diary');
        const link = d.querySelector('a');
        return {
            title: document.getElementById('diary-title').textContent,
            source: document.getElementById('diary-source').textContent,
            sections: Array.from(d.querySelectorAll('h2'), (h) => h.textContent),
            sources: Array.from(d.querySelectorAll('h3'), (h) => h.textContent),
            points: d.querySelectorAll('li').length,
            code: d.querySelector('code')?.textContent,
            strong: d.querySelector('strong')?.textContent,
            href: link?.getAttribute('href'), target: link?.getAttribute('target'),
            diaryShown: __test.shown('diary'), emptyShown: __test.shown('empty'),
        };
    )");
    EXPECT_EQ(shown["title"], "2026年12月6日星期日");
    EXPECT_EQ(shown["source"], "KILN + Tansy工作 · 本地记忆");
    EXPECT_EQ(shown["sections"], json({"今天做了什么", "今天学到了什么"}));
    EXPECT_EQ(shown["sources"], json({"KILN", "Tansy工作"}));
    EXPECT_EQ(shown["points"], 8);
    EXPECT_EQ(shown["code"], "notes/2026-12");
    EXPECT_EQ(shown["strong"], "少即是多");
    EXPECT_EQ(shown["href"], "https://quillo.app/plan");
    EXPECT_TRUE(shown["target"].is_null()) << "links open through the app, never in a new view";
    EXPECT_EQ(shown["diaryShown"], true);
    EXPECT_EQ(shown["emptyShown"], false);
}

TEST_F(PageTest, HostileDiaryIsShownAsTextAndRunsNothing) {
    Page& page = open(370, 500);
    const std::string hostile =
        "## 今天做了什么\n\n"
        "- <script>window.__ran = 'script'; "
        "window.webkit.messageHandlers.companion.postMessage({type: 'syncNow'})</script>\n"
        "- <img src=x onerror=\"window.__ran = 'img'; "
        "window.webkit.messageHandlers.companion.postMessage({type: 'disconnectSync'})\">\n"
        "- <iframe src=\"https://example.com/\"></iframe>\n"
        "- [点我](javascript:window.__ran='link')\n"
        "- <!-- 注释 -->\n"
        "- <b onmouseover=\"window.__ran='b'\">粗体</b>\n";
    const std::vector<json> posted = page.postedBy(diaryCall(hostile));
    EXPECT_EQ(typesOf(posted), std::vector<std::string>{}) << "the diary posted a message";

    const json shown = page.run(R"(
        const d = document.getElementById('diary');
        return {
            ran: window.__ran ?? null,
            elements: d.querySelectorAll('script, img, iframe, b, [onerror], [onmouseover]').length,
            scriptLinks: Array.from(d.querySelectorAll('a'))
                .filter((a) => !/^https?:/.test(a.getAttribute('href') || '')).length,
            text: d.textContent,
        };
    )");
    EXPECT_TRUE(shown["ran"].is_null()) << shown["ran"];
    EXPECT_EQ(shown["elements"], 0);
    EXPECT_EQ(shown["scriptLinks"], 0);
    const std::string text = shown["text"].get<std::string>();
    for (const char* visible : {"<script>", "<img src=x onerror=", "<iframe",
                                "javascript:", "<!-- 注释 -->", "<b onmouseover="}) {
        EXPECT_NE(text.find(visible), std::string::npos) << visible << " is not shown as text";
    }
}

TEST_F(PageTest, EmptyDiaryShowsTheFriendlyEmptyState) {
    Page& page = open(370, 500);
    const std::string visible = "return [__test.shown('empty'), __test.shown('diary')];";
    EXPECT_EQ(page.run(diaryCall(kEmptyDiary, "2026年12月6日星期日", "本地记忆") + visible),
              json({true, false}));
    EXPECT_EQ(
        page.run("return document.getElementById('empty').textContent.includes('今天还没有记录');"),
        true);
    EXPECT_EQ(page.run(diaryCall("## 今天做了什么\n\n- 写了第一条。") + visible),
              json({false, true}));
    EXPECT_EQ(page.run(diaryCall(kEmptyDiary) + visible), json({true, false}));
}

TEST_F(PageTest, AnEmptySectionBesideAFullOneSaysSo) {
    Page& page = open(370, 500);
    const json shown =
        page.run(diaryCall("## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了一件事。") + R"(
        const d = document.getElementById('diary');
        return [d.querySelectorAll('.section-empty').length, __test.shown('empty')];
    )");
    EXPECT_EQ(shown, json({1, false}));
}

// -------------------------------------------------------------------------------------- sync

struct SyncCase {
    bool connected;
    const char* status;
    const char* message;
    bool setupShown;      // connect button, token field, paste and save
    bool connectedShown;  // sync now and disconnect
    bool syncNowEnabled;
    const char* figureDot;  // the status class of the collapsed figure, "" for none
};

TEST_F(PageTest, SyncStatesDecideWhichControlsAreShown) {
    Page& page = open(370, 500);
    const SyncCase cases[] = {
        {false, "disconnected", "连接后可跨设备查看", true, false, true, ""},
        {true, "connected", "已连接 Quillo", false, true, true, ""},
        {true, "syncing", "正在同步今天的记忆", false, true, false, "sync-syncing"},
        {true, "synced", "今天的记忆已同步", false, true, true, "sync-synced"},
        {true, "error", "同步失败：服务器没有回应", false, true, true, "sync-error"},
        {false, "error", "剪贴板里没有连接令牌", true, false, true, "sync-error"},
        {false, "disconnected", "已断开，日记仍保存在本机", true, false, true, ""},
    };
    for (const SyncCase& c : cases) {
        SCOPED_TRACE(std::string(c.status) + " / " + c.message);
        const json shown = page.run(syncStateCall(c.connected, c.status, c.message) + R"(
            const f = document.getElementById('figure').classList;
            return {
                message: document.getElementById('sync-message').textContent,
                messageShown: __test.shown('sync-message'),
                connect: __test.shown('connect'), field: __test.shown('token-input'),
                paste: __test.shown('paste-token'), save: __test.shown('save-token'),
                syncNow: __test.shown('sync-now'), disconnect: __test.shown('disconnect'),
                syncNowEnabled: !document.getElementById('sync-now').disabled,
                dot: ['sync-syncing', 'sync-synced', 'sync-error'].find((c) => f.contains(c)) ?? '',
                status: document.getElementById('sync').dataset.status,
            };
        )");
        EXPECT_EQ(shown["message"], c.message);
        EXPECT_EQ(shown["messageShown"], true);
        EXPECT_EQ(shown["status"], c.status);
        for (const char* key : {"connect", "field", "paste", "save"}) {
            EXPECT_EQ(shown[key], c.setupShown) << key;
        }
        for (const char* key : {"syncNow", "disconnect"}) {
            EXPECT_EQ(shown[key], c.connectedShown) << key;
        }
        EXPECT_EQ(shown["syncNowEnabled"], c.syncNowEnabled);
        EXPECT_EQ(shown["dot"], c.figureDot);
    }
}

TEST_F(PageTest, OfferedTokenFillsTheFieldAndSaveSendsWhatItHolds) {
    Page& page = open(370, 500);
    page.run(syncStateCall(false, "disconnected", "连接后可跨设备查看"));
    EXPECT_EQ(page.run("return document.getElementById('save-token').disabled;"), true)
        << "nothing to save yet";

    page.run(R"(window.quilloSetSyncToken({"token": "qa_7f3c9e1d"});)");
    EXPECT_EQ(page.run("return [document.getElementById('token-input').value, "
                       "document.getElementById('save-token').disabled];"),
              json({"qa_7f3c9e1d", false}));

    std::vector<json> posted = page.postedBy("document.getElementById('save-token').click();");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "saveSyncToken"}, {"token", "qa_7f3c9e1d"}}));

    // The field stays editable: what the user types is what is sent.
    posted = page.postedBy(R"(
        const input = document.getElementById('token-input');
        input.value = '  qa_edited_by_hand  ';
        input.dispatchEvent(new Event('input', { bubbles: true }));
        document.getElementById('save-token').click();
    )");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "saveSyncToken"}, {"token", "qa_edited_by_hand"}}));

    // Once connected the token leaves the page.
    page.run(syncStateCall(true, "connected", "已连接，正在同步"));
    EXPECT_EQ(page.run("return document.getElementById('token-input').value;"), "");
}

TEST_F(PageTest, EachButtonPostsItsMessage) {
    Page& page = open(370, 500);
    const std::pair<bool, std::vector<std::pair<const char*, json>>> groups[] = {
        {false,
         {{"connect", {{"type", "openSyncSetup"}}}, {"paste-token", {{"type", "pasteSyncToken"}}}}},
        {true,
         {{"sync-now", {{"type", "syncNow"}}},
          {"disconnect", {{"type", "disconnectSync"}}},
          {"open-calendar", {{"type", "openCalendar"}}},
          {"collapse", {{"type", "expanded"}, {"value", false}}}}},
    };
    for (const auto& [connected, buttons] : groups) {
        page.run(syncStateCall(connected, connected ? "connected" : "disconnected", "…"));
        for (const auto& [id, expected] : buttons) {
            const std::vector<json> posted =
                page.postedBy(std::string("document.getElementById('") + id + "').click();");
            ASSERT_EQ(posted.size(), 1u) << id;
            EXPECT_EQ(posted[0], expected) << id;
        }
    }
}

// ---------------------------------------------------------------------- expanding and dragging

TEST_F(PageTest, ClickOnTheFigureExpands) {
    Page& page = open(64, 64);
    EXPECT_EQ(page.run("return [__test.shown('figure'), __test.shown('panel')];"),
              json({true, false}));
    const std::vector<json> posted = page.postedBy(R"(
        __test.pointer('pointerdown', '#figure', 300, 200);
        __test.pointer('pointermove', '#figure', 302, 201);
        __test.pointer('pointerup', '#figure', 302, 201);
        document.getElementById('figure').click();
    )");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "expanded"}, {"value", true}}));
    EXPECT_EQ(page.run("return [__test.shown('figure'), __test.shown('panel')];"),
              json({false, true}));
}

TEST_F(PageTest, PressAndMoveDragsTheFigureInsteadOfExpanding) {
    Page& page = open(64, 64);
    const std::vector<json> posted = page.postedBy(R"(
        __test.pointer('pointerdown', '#figure', 100, 200);
        __test.pointer('pointermove', '#figure', 102, 202);
        __test.pointer('pointermove', '#figure', 110, 205);
        __test.pointer('pointermove', '#figure', 130, 180);
        __test.pointer('pointerup', '#figure', 130, 180);
        document.getElementById('figure').click();
    )");
    const std::vector<json> expected = {
        {{"type", "dragStart"}, {"screenX", 100}, {"screenY", 200}},
        {{"type", "dragMove"}, {"screenX", 110}, {"screenY", 205}},
        {{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}},
        {{"type", "dragEnd"}},
    };
    EXPECT_EQ(posted, expected);
    EXPECT_EQ(page.run("return __test.shown('panel');"), false);

    // The next plain click expands again: the swallowed click was only the drag's own.
    EXPECT_EQ(typesOf(page.postedBy("document.getElementById('figure').click();")),
              std::vector<std::string>{"expanded"});
}

TEST_F(PageTest, ARealClickOnTheFigureExpands) {
    Page& page = open(64, 64);
    ASSERT_TRUE(page.press(32, 40));
    ASSERT_TRUE(page.release(32, 40));
    const std::vector<json> posted = page.messagesUntil("expanded");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "expanded"}, {"value", true}}));
}

TEST_F(PageTest, ARealDragReportsScreenPositionsAndDoesNotExpand) {
    Page& page = open(64, 64);
    const auto [x, y] = page.screenOrigin();
    ASSERT_TRUE(page.press(20, 30));
    ASSERT_TRUE(page.release(44, 50));
    std::vector<json> posted = page.messagesUntil("dragEnd");
    ASSERT_GE(posted.size(), 3u);
    EXPECT_EQ(posted.front(),
              json({{"type", "dragStart"}, {"screenX", x + 20}, {"screenY", y + 30}}));
    EXPECT_EQ(posted[posted.size() - 2],
              json({{"type", "dragMove"}, {"screenX", x + 44}, {"screenY", y + 50}}));
    EXPECT_EQ(posted.back(), json({{"type", "dragEnd"}}));
    for (const json& m : page.postedBy("")) EXPECT_NE(m.value("type", ""), "expanded");
    EXPECT_EQ(page.run("return __test.shown('panel');"), false);
}

TEST_F(PageTest, TheEscapeKeyCollapses) {
    Page& page = open(370, 500);
    ASSERT_TRUE(page.key("Escape"));
    const std::vector<json> posted = page.messagesUntil("expanded");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "expanded"}, {"value", false}}));
}

TEST_F(PageTest, TheHeaderDragsTheWindowButItsButtonsDoNot) {
    Page& page = open(370, 500);
    std::vector<json> posted = page.postedBy(R"(
        __test.pointer('pointerdown', '#diary-title', 500, 300);
        __test.pointer('pointermove', '#diary-title', 540, 320);
        __test.pointer('pointerup', '#diary-title', 540, 320);
    )");
    EXPECT_EQ(typesOf(posted), (std::vector<std::string>{"dragStart", "dragMove", "dragEnd"}));
    EXPECT_EQ(posted[1], json({{"type", "dragMove"}, {"screenX", 540}, {"screenY", 320}}));

    posted = page.postedBy(R"(
        __test.pointer('pointerdown', '#open-calendar', 500, 300);
        __test.pointer('pointermove', '#open-calendar', 540, 320);
        __test.pointer('pointerup', '#open-calendar', 540, 320);
    )");
    EXPECT_EQ(typesOf(posted), std::vector<std::string>{});
}

TEST_F(PageTest, EscapeCollapses) {
    Page& page = open(370, 500);
    EXPECT_EQ(page.run("return __test.shown('panel');"), true) << "a large window shows the panel";
    const std::vector<json> posted = page.postedBy("__test.key('Escape');");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], json({{"type", "expanded"}, {"value", false}}));
    EXPECT_EQ(page.run("return [__test.shown('panel'), __test.shown('figure')];"),
              json({false, true}));
    EXPECT_EQ(typesOf(page.postedBy("__test.key('Escape');")), std::vector<std::string>{})
        << "Escape on the figure does nothing";
}

TEST_F(PageTest, DebugSetExpandedShowsThePanelWithoutAMessage) {
    Page& page = open(64, 64);
    EXPECT_EQ(typesOf(page.postedBy("window.__quilloDebug.setExpanded(true);")),
              std::vector<std::string>{});
    EXPECT_EQ(page.run("return [__test.shown('panel'), "
                       "document.documentElement.classList.contains('is-expanded')];"),
              json({true, true}));
}

// Resolves with `then` once the viewport has the given size; resize events come asynchronously.
std::string afterViewport(int width, int height, const std::string& then) {
    return "return new Promise((resolve) => {"
           "  const check = () => innerWidth === " +
           std::to_string(width) + "      && innerHeight === " + std::to_string(height) +
           ";"
           "  if (check()) resolve(); else addEventListener('resize', () => check() && resolve());"
           "}).then(() => " +
           then + ");";
}

TEST_F(PageTest, ResizingTheWindowFollowsTheAppsSizeChange) {
    Page& page = open(64, 64);
    // The tray menu resizes the window without calling the page.
    page.resize(370, 500);
    EXPECT_EQ(page.run(afterViewport(370, 500, "[__test.shown('panel'), __test.shown('figure')]")),
              json({true, false}));
    page.resize(64, 64);
    EXPECT_EQ(page.run(afterViewport(64, 64, "[__test.shown('panel'), __test.shown('figure')]")),
              json({false, true}));
}

TEST_F(PageTest, ACollapseThePageAskedForIsNotUndoneWhileTheWindowShrinks) {
    Page& page = open(370, 500);
    EXPECT_EQ(typesOf(page.postedBy("__test.key('Escape');")),
              std::vector<std::string>{"expanded"});
    // The window shrinks over a few frames; on the way it is still large.
    page.resize(300, 400);
    EXPECT_EQ(page.run(afterViewport(300, 400, "__test.shown('panel')")), false);
    page.resize(64, 64);
    EXPECT_EQ(page.run(afterViewport(64, 64, "__test.shown('figure')")), true);
}

TEST_F(PageTest, ResetScrollReturnsTheDiaryToItsTop) {
    Page& page = open(370, 500);
    std::string longDiary = "## 今天做了什么\n\n";
    for (int i = 0; i < 40; ++i) longDiary += "- 第 " + std::to_string(i) + " 件事。\n";
    const json scrolled = page.run(diaryCall(longDiary) + R"(
        const s = document.getElementById('diary-scroll');
        s.scrollTop = 400;
        const before = s.scrollTop;
        window.__quilloDebug.resetScroll();
        return [before > 0, s.scrollTop];
    )");
    EXPECT_EQ(scrolled, json({true, 0}));
}

// ------------------------------------------------------------------------------- animation

// Resolves once nothing animates any more; the walk and the absorb end by themselves.
constexpr const char* kUntilIdle = R"(
    return new Promise((resolve) => {
        const idle = () => document.getAnimations().length === 0 &&
            !document.querySelector('.is-walking, .is-absorbing, .is-fresh');
        const check = () => (idle() ? resolve(true) : requestAnimationFrame(check));
        check();
    });
)";

TEST_F(PageTest, WalkAnimatesInTheGivenDirectionAndThenStops) {
    setDesktopAnimations(true);
    Page& page = open(64, 64);
    for (const auto& [direction, cls] : {std::pair{"1.0", "walk-right"}, {"-1.0", "walk-left"}}) {
        const json walking = page.run(std::string("window.quilloWalk(") + direction + R"();
            const f = document.getElementById('figure');
            return { cls: f.classList.contains(')" +
                                      cls + R"('),
                     running: document.getAnimations().length > 0 };
        )");
        EXPECT_EQ(walking["cls"], true) << direction;
        EXPECT_EQ(walking["running"], true) << direction;
        EXPECT_EQ(page.run(kUntilIdle), true) << "the walk must end by itself";
    }
}

TEST_F(PageTest, AbsorbPlaysOnceAndLightsUpTheNewPoints) {
    setDesktopAnimations(true);
    Page& page = open(370, 500);
    page.run(diaryCall("## 今天做了什么\n\n- 旧的一条。"));
    const json absorbed = page.run(diaryCall("## 今天做了什么\n\n- 旧的一条。\n- 新的一条。") + R"(
        window.quilloAbsorb();
        return {
            figure: document.getElementById('figure').classList.contains('is-absorbing'),
            fresh: Array.from(document.querySelectorAll('#diary li.is-fresh'), (li) => li.textContent),
            running: document.getAnimations().length > 0,
        };
    )");
    EXPECT_EQ(absorbed["figure"], true);
    EXPECT_EQ(absorbed["fresh"], json({"新的一条。"}));
    EXPECT_EQ(absorbed["running"], true);
    EXPECT_EQ(page.run(kUntilIdle), true);
}

TEST_F(PageTest, NoAnimationRunsForever) {
    setDesktopAnimations(true);
    Page& page = open(64, 64);
    const json endless = page.run(syncStateCall(true, "syncing", "正在同步今天的记忆") + R"(
        window.quilloWalk(1.0);
        window.quilloAbsorb();
        const animations = document.getAnimations();
        return [animations.length > 0,
                animations.filter((a) => a.effect.getComputedTiming().endTime === Infinity).length];
    )");
    EXPECT_EQ(endless, json({true, 0}));
}

TEST_F(PageTest, ReducedMotionKeepsThePageStill) {
    setDesktopAnimations(false);
    Page& page = open(64, 64);
    const json still = page.run(R"(
        window.quilloWalk(-1.0);
        window.quilloAbsorb();
        return [matchMedia('(prefers-reduced-motion: reduce)').matches,
                document.getAnimations().length];
    )");
    setDesktopAnimations(true);
    EXPECT_EQ(still, json({true, 0}));
}

// -------------------------------------------------------------------------------- the look

TEST_F(PageTest, CollapsedFigureStandsOnATransparentBackground) {
    Page& page = open(64, 64);
    Surface shot = page.snapshot();
    ASSERT_TRUE(shot);
    ASSERT_EQ(cairo_image_surface_get_width(shot.get()), 64);
    EXPECT_EQ(alphaAt(shot.get(), 0, 0), 0);
    EXPECT_EQ(alphaAt(shot.get(), 63, 63), 0);
    EXPECT_EQ(alphaAt(shot.get(), 32, 40), 255) << "the figure's body is opaque";
    saveSnapshot(page, "page-collapsed.png", 64, 64);
}

TEST_F(PageTest, WithoutACompositorThePageIsAnOpaqueTile) {
    for (const auto& [width, height, name] :
         {std::tuple{64, 64, "page-no-compositor-collapsed.png"},
          std::tuple{370, 500, "page-no-compositor-expanded.png"}}) {
        Page& page = open(width, height);
        page.run(diaryCall(kRealisticDiary) +
                 "document.documentElement.classList.add('no-compositor');");
        Surface shot = page.snapshot();
        ASSERT_TRUE(shot);
        for (const auto& [x, y] : {std::pair{0, 0},
                                   {width - 1, 0},
                                   {0, height - 1},
                                   {width - 1, height - 1},
                                   {width / 2, height / 2}}) {
            EXPECT_EQ(alphaAt(shot.get(), x, y), 255) << name << " at " << x << "," << y;
        }
        saveSnapshot(page, name, width, height);
    }
}

TEST_F(PageTest, ExpandedPanelIsARoundedCardOnATransparentWindow) {
    const std::pair<std::string, std::string> states[] = {
        {"page-expanded.png", syncStateCall(true, "synced", "今天的记忆已同步")},
        {"page-sync-disconnected.png",
         syncStateCall(false, "disconnected", "连接后可同步到 quillo.app")},
        {"page-sync-token.png", syncStateCall(false, "disconnected", "连接后可跨设备查看") +
                                    R"(window.quilloSetSyncToken({"token": "qa_7f3c9e1d5b"});)"},
        {"page-sync-syncing.png", syncStateCall(true, "syncing", "正在同步今天的记忆")},
        {"page-sync-error.png",
         syncStateCall(true, "error", "同步失败（HTTP 401）：令牌已失效，请重新连接")},
        {"page-empty.png", syncStateCall(false, "disconnected", "连接后可跨设备查看")},
    };
    for (const auto& [name, state] : states) {
        SCOPED_TRACE(name);
        Page& page = open(370, 500);
        const std::string content = name == "page-empty.png" ? kEmptyDiary : kRealisticDiary;
        // The entrance and the state effects are finished at once, so the picture is final.
        page.run(diaryCall(content) + state +
                 "document.getAnimations().forEach((a) => a.finish());");
        Surface shot = page.snapshot();
        ASSERT_TRUE(shot);
        EXPECT_EQ(alphaAt(shot.get(), 0, 0), 0) << "the corner outside the card is clear";
        EXPECT_EQ(alphaAt(shot.get(), 185, 250), 255) << "the card itself is opaque";
        saveSnapshot(page, name, 370, 500);
    }
}

}  // namespace
