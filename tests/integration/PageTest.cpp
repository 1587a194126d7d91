// The companion page in the engine the app ships with: a WebKitWebView in a real GTK window,
// loading the build tree's bundle, driven through the same page functions the app calls and
// listened to through the same "companion" message handler.

#include <cairo.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/MainContext.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kEmptyDiary = "## 今天做了什么\n\n";
const json kExpand = {{"type", "expanded"}, {"value", true}};
const json kCollapse = {{"type", "expanded"}, {"value", false}};

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

json parsed(JSCValue* value) {
    g_autofree char* text = value ? jsc_value_to_json(value, 0) : nullptr;
    return text ? json::parse(text, nullptr, false) : json();
}

using quillo::testing::runUntil;

// Runs an asynchronous WebKit call to its end: `start` gets the callback and its data, `finish`
// turns the result into the answer.
template <typename T>
T await(const std::function<void(GAsyncReadyCallback, gpointer)>& start,
        std::function<T(GObject*, GAsyncResult*)> finish) {
    using Call = std::pair<std::function<T(GObject*, GAsyncResult*)>, std::optional<T>>;
    auto call = std::make_shared<Call>(std::move(finish), std::nullopt);
    start(
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Call>> c(static_cast<std::shared_ptr<Call>*>(data));
            (*c)->second = (*c)->first(source, result);
        },
        new std::shared_ptr<Call>(call));
    EXPECT_TRUE(runUntil([&] { return call->second.has_value(); })) << "no answer came";
    return call->second.value_or(T{});
}

std::string diaryCall(const std::string& content, const std::string& source = "本地记忆") {
    const json diary = {{"title", "2026年12月6日星期日"}, {"source", source}, {"content", content}};
    return "window.quilloSetDiary(" + diary.dump() + ");";
}

std::string syncStateCall(bool connected, const std::string& status, const std::string& message) {
    return "window.quilloSetSyncState(" +
           json{{"connected", connected}, {"status", status}, {"message", message}}.dump() + ");";
}

// The alpha of one pixel of a premultiplied ARGB32 snapshot.
int alphaAt(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    std::uint32_t pixel;
    std::memcpy(&pixel, cairo_image_surface_get_data(surface) + y * stride + x * 4, sizeof pixel);
    return static_cast<int>(pixel >> 24);
}

const std::string kRealisticDiary =
    "## 今天做了什么\n\n### KILN\n- 修好了展开面板时滚动位置没有回到顶部的问题。\n"
    "- 整理了本周的阅读笔记，归档到 `notes/2026-12` 目录。\n\n### Tansy工作\n"
    "- 回复了三封关于 [发布计划](https://quillo.app/plan) 的邮件。\n\n"
    "## 今天学到了什么\n\n- **少即是多**：空闲时什么都不做，才是真正的省电。";

// Small helpers the tests run inside the page: a synthetic press that moves through the points
// and lets go at the last, the Escape key, and which elements are visible.
constexpr const char* kTestHelpers = R"(
    window.__test = {
        press(selector, ...points) {
            const el = document.querySelector(selector), r = el.getBoundingClientRect();
            const fire = (type, [screenX, screenY]) => el.dispatchEvent(new PointerEvent(type, {
                bubbles: true, cancelable: true, composed: true, pointerId: 1, isPrimary: true,
                pointerType: 'mouse', button: type === 'pointermove' ? -1 : 0,
                buttons: type === 'pointerup' ? 0 : 1, screenX, screenY,
                clientX: r.left + 8, clientY: r.top + 8 }));
            points.forEach((p, i) => fire(i ? 'pointermove' : 'pointerdown', p));
            fire('pointerup', points[points.length - 1]);
            return el;
        },
        escape: () => document.activeElement.dispatchEvent(
            new KeyboardEvent('keydown', { key: 'Escape', bubbles: true, cancelable: true })),
        shown: (...ids) => ids.map((id) => {
            const el = document.getElementById(id);
            return el.getClientRects().length > 0 && getComputedStyle(el).visibility !== 'hidden';
        }),
    };
    return true;
)";

// Resolves once nothing animates any more; the walk and the absorb end by themselves.
constexpr const char* kUntilIdle = R"(
    return new Promise((resolve) => {
        const idle = () => document.getAnimations().length === 0 &&
            !document.querySelector('.is-walking, .is-absorbing, .is-fresh');
        const check = () => (idle() ? resolve(true) : requestAnimationFrame(check));
        check();
    });
)";

// One page in one window of the given size.
class PageTest : public ::testing::Test {
protected:
    void open(int width, int height) {
        TearDown();
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new());
        // The settings the app runs the page with.
        WebKitSettings* settings = webkit_web_view_get_settings(view_);
        webkit_settings_set_hardware_acceleration_policy(settings,
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        webkit_settings_set_enable_page_cache(settings, FALSE);
        const GdkRGBA clear{0, 0, 0, 0};
        webkit_web_view_set_background_color(view_, &clear);
        gtk_widget_set_size_request(GTK_WIDGET(view_), width, height);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view_);
        g_signal_connect(content, "script-message-received::companion",
                         G_CALLBACK(+[](void*, WebKitJavascriptResult* r, std::vector<json>* to) {
                             to->push_back(parsed(webkit_javascript_result_get_js_value(r)));
                         }),
                         &messages_);
        webkit_user_content_manager_register_script_message_handler(content, "companion");
        bool loaded = false;
        const gulong loading = g_signal_connect(
            view_, "load-changed", G_CALLBACK(+[](void*, WebKitLoadEvent event, bool* loaded) {
                *loaded |= event == WEBKIT_LOAD_FINISHED;
            }),
            &loaded);
        gtk_widget_show_all(window_);
        const auto page = std::filesystem::path(QUILLO_BUILD_BUNDLE) / "index.html";
        g_autofree char* uri = g_filename_to_uri(page.c_str(), nullptr, nullptr);
        webkit_web_view_load_uri(view_, uri);
        ASSERT_TRUE(runUntil([&] { return loaded; })) << "the page did not load from " << page;
        g_signal_handler_disconnect(view_, loading);
        run(kTestHelpers);
    }
    void TearDown() override {
        if (!window_) return;
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_),
                                             &messages_);
        gtk_widget_destroy(std::exchange(window_, nullptr));
    }

    // Runs `body` as the body of an async function in the page and returns its result as JSON
    // (null for undefined); a promise it returns is awaited.
    json run(const std::string& body) {
        return await<json>(
            [&](GAsyncReadyCallback done, gpointer data) {
                webkit_web_view_call_async_javascript_function(
                    view_, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr, done, data);
            },
            [body](GObject* view, GAsyncResult* result) {
                g_autoptr(GError) error = nullptr;
                g_autoptr(JSCValue) value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(view), result, &error);
                EXPECT_FALSE(error) << error->message << " in script: " << body;
                return parsed(value);
            });
    }
    // Runs `body` and returns the messages the page posted while it ran, in order. A marker
    // posted after the body tells when every earlier message has come through.
    json postedBy(const std::string& body) {
        messages_.clear();
        run(body + "\n;window.webkit.messageHandlers.companion.postMessage({type: 'end'});");
        EXPECT_TRUE(arrived("end")) << "the end marker never arrived";
        std::vector<json> posted = std::exchange(messages_, {});
        if (!posted.empty()) posted.pop_back();
        return posted;
    }
    // Waits for a message of the given type; everything posted until then stays in messages_.
    bool arrived(const std::string& type) {
        const auto ofType = [&](const json& m) { return m.value("type", "") == type; };
        return runUntil([&] { return std::ranges::any_of(messages_, ofType); });
    }

    // Real X input through xdotool and the XTest extension, at a point of the web view.
    bool realInput(int x, int y, const std::string& action) {
        const auto [left, top] = screenOrigin();
        const std::string command = "xdotool mousemove " + std::to_string(left + x) + " " +
                                    std::to_string(top + y) + " " + action;
        gint status = -1;
        EXPECT_TRUE(g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, &status, nullptr))
            << "xdotool comes with the set-up";
        return g_spawn_check_wait_status(status, nullptr);
    }
    std::pair<int, int> screenOrigin() const {
        int x = 0, y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(view_)), &x, &y);
        return {x, y};
    }
    // Resizes the window as the app does and answers `then` once the page has seen the new size.
    json resizedTo(int width, int height, const std::string& then) {
        gtk_widget_set_size_request(GTK_WIDGET(view_), width, height);
        gtk_window_resize(GTK_WINDOW(window_), width, height);
        const auto size = std::to_string(width) + " && innerHeight === " + std::to_string(height);
        return run("const check = () => innerWidth === " + size + "; return new Promise((ok) => " +
                   "check() ? ok() : addEventListener('resize', () => check() && ok()))" +
                   ".then(() => " + then + ");");
    }
    Surface snapshot() {
        const auto start = [&](GAsyncReadyCallback done, gpointer data) {
            webkit_web_view_get_snapshot(view_, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                         WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, nullptr,
                                         done, data);
        };
        const auto finish = [](GObject* view, GAsyncResult* result) {
            return webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, nullptr);
        };
        return Surface(await<cairo_surface_t*>(start, finish), cairo_surface_destroy);
    }
    // Plays animations only while the test wants them, whatever the desktop's setting.
    static void setDesktopAnimations(bool enabled) {
        g_object_set(gtk_settings_get_default(), "gtk-enable-animations", enabled, nullptr);
    }

    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::vector<json> messages_;
};

// ---------------------------------------------------------------------------------- contract

TEST_F(PageTest, DefinesEveryFunctionTheAppCallsLoadsQuietlyAndRefusesInlineScript) {
    open(64, 64);
    EXPECT_EQ(postedBy(""), json::array()) << "loading posts nothing";
    const json page = run(R"(
        const s = document.createElement('script');
        s.textContent = 'window.__inlineRan = true;';
        document.body.appendChild(s);
        const meta = document.querySelector('meta[http-equiv="Content-Security-Policy"]');
        return { animations: document.getAnimations().length,
                 types: [typeof window.quilloSetDiary, typeof window.quilloAbsorb,
                         typeof window.quilloSetSyncState, typeof window.quilloSetSyncToken,
                         typeof window.quilloWalk, typeof window.__quilloDebug?.resetScroll,
                         typeof window.__quilloDebug?.setExpanded, typeof window.markdownit],
                 ran: window.__inlineRan === true, policy: meta ? meta.content : '' };
    )");
    EXPECT_EQ(page["animations"], 0) << "nothing moves after loading";
    EXPECT_EQ(page["types"], json(std::vector<std::string>(8, "function")));
    EXPECT_EQ(page["ran"], false) << "an inline script ran";
    const std::string policy = page["policy"].get<std::string>();
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
}

// ------------------------------------------------------------------------------------- diary

TEST_F(PageTest, DiaryIsRenderedFromMarkdown) {
    open(370, 500);
    const json shown = run(diaryCall(kRealisticDiary, "KILN + Tansy工作 · 本地记忆") + R"(
        const d = document.getElementById('diary');
        const text = (selector) => Array.from(d.querySelectorAll(selector), (e) => e.textContent);
        const link = d.querySelector('a');
        return [document.getElementById('diary-title').textContent,
                document.getElementById('diary-source').textContent, text('h2'), text('h3'),
                text('li').length, text('code'), text('strong'), link.getAttribute('href'),
                link.getAttribute('target'), __test.shown('diary', 'empty')];
    )");
    // Links open through the app, never in a new view: no target.
    EXPECT_EQ(shown, json({"2026年12月6日星期日",
                           "KILN + Tansy工作 · 本地记忆",
                           {"今天做了什么", "今天学到了什么"},
                           {"KILN", "Tansy工作"},
                           4,
                           {"notes/2026-12"},
                           {"少即是多"},
                           "https://quillo.app/plan",
                           nullptr,
                           {true, false}}));
}

TEST_F(PageTest, HostileDiaryIsShownAsTextAndRunsNothing) {
    open(370, 500);
    const std::string hostile =
        "## 今天做了什么\n\n"
        "- <script>window.__ran = 'script'; "
        "window.webkit.messageHandlers.companion.postMessage({type: 'syncNow'})</script>\n"
        "- <img src=x onerror=\"window.__ran = 'img'; "
        "window.webkit.messageHandlers.companion.postMessage({type: 'disconnectSync'})\">\n"
        "- <iframe src=\"https://example.com/\"></iframe>\n"
        "- [点我](javascript:window.__ran='link')\n"
        "- <!-- 注释 -->\n";
    EXPECT_EQ(postedBy(diaryCall(hostile)), json::array()) << "the diary posted a message";
    const json shown = run(R"(
        const d = document.getElementById('diary');
        return [window.__ran ?? null,
                d.querySelectorAll('script, img, iframe, [onerror]').length,
                Array.from(d.querySelectorAll('a'), (a) => a.getAttribute('href'))
                    .filter((href) => !/^https?:/.test(href)), d.textContent];
    )");
    EXPECT_EQ(shown[0], nullptr) << "a script ran";
    EXPECT_EQ(shown[1], 0) << "markup came through";
    EXPECT_EQ(shown[2], json::array()) << "the javascript: link became a link";
    const std::string text = shown[3].get<std::string>();
    for (const char* visible :
         {"<script>", "<img src=x onerror=", "<iframe", "javascript:", "<!-- 注释 -->"}) {
        EXPECT_NE(text.find(visible), std::string::npos) << visible << " is not shown as text";
    }
}

TEST_F(PageTest, AnEmptyDayShowsTheFriendlyEmptyStateAndAnEmptySectionSaysSo) {
    open(370, 500);
    const std::string shown = R"(
        return [...__test.shown('empty', 'diary'),
                document.querySelectorAll('#diary .section-empty').length,
                document.getElementById('empty').textContent.includes('今天还没有记录')];)";
    EXPECT_EQ(run(diaryCall(kEmptyDiary) + shown), json({true, false, 0, true}));
    EXPECT_EQ(run(diaryCall("## 今天做了什么\n\n- 写了第一条。") + shown),
              json({false, true, 0, true}));
    EXPECT_EQ(
        run(diaryCall("## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了一件事。") + shown),
        json({false, true, 1, true}));
    EXPECT_EQ(run(diaryCall(kEmptyDiary) + shown), json({true, false, 0, true}));
}

// -------------------------------------------------------------------------------------- sync

TEST_F(PageTest, SyncStatesDecideWhichControlsAreShown) {
    open(370, 500);
    // What shows for each state: the setup controls (connect, token field, paste, save) or the
    // connected ones (sync now, disconnect), whether sync now works, and the figure's dot.
    const auto expect = [&](bool connected, const char* status, const char* message, bool setup,
                            bool syncNowEnabled, const char* dot) {
        SCOPED_TRACE(std::string(status) + " / " + message);
        const json shown = run(syncStateCall(connected, status, message) + R"(
            const f = document.getElementById('figure').classList;
            return [document.getElementById('sync-message').textContent,
                    ...__test.shown('sync-message', 'connect', 'token-input', 'paste-token',
                                    'save-token', 'sync-now', 'disconnect'),
                    document.getElementById('sync').dataset.status,
                    !document.getElementById('sync-now').disabled,
                    ['sync-syncing', 'sync-synced', 'sync-error'].find((c) => f.contains(c)) ?? ''];
        )");
        EXPECT_EQ(shown, json({message, true, setup, setup, setup, setup, !setup, !setup, status,
                               syncNowEnabled, dot}));
    };
    expect(false, "disconnected", "连接后可跨设备查看", true, true, "");
    expect(true, "connected", "已连接 Quillo", false, true, "");
    expect(true, "syncing", "正在同步今天的记忆", false, false, "sync-syncing");
    expect(true, "synced", "今天的记忆已同步", false, true, "sync-synced");
    expect(true, "error", "同步失败：服务器没有回应", false, true, "sync-error");
    expect(false, "error", "剪贴板里没有连接令牌", true, true, "sync-error");
    expect(false, "disconnected", "已断开，日记仍保存在本机", true, true, "");
}

TEST_F(PageTest, OfferedTokenFillsTheFieldAndSaveSendsWhatItHolds) {
    open(370, 500);
    const std::string field =
        "const i = document.getElementById('token-input');"
        "const save = document.getElementById('save-token');";
    const auto saved = [](const char* token) {
        return json::array({{{"type", "saveSyncToken"}, {"token", token}}});
    };
    run(syncStateCall(false, "disconnected", "连接后可跨设备查看"));
    EXPECT_EQ(run(field + "return save.disabled;"), true) << "nothing to save yet";
    run(R"(window.quilloSetSyncToken({"token": "qa_7f3c9e1d"});)");
    EXPECT_EQ(run(field + "return [i.value, save.disabled];"), json({"qa_7f3c9e1d", false}));
    EXPECT_EQ(postedBy(field + "save.click();"), saved("qa_7f3c9e1d"));
    // The field stays editable: what the user types is what is sent.
    EXPECT_EQ(postedBy(field + "i.value = '  qa_edited_by_hand  ';"
                               "i.dispatchEvent(new Event('input', { bubbles: true }));"
                               "save.click();"),
              saved("qa_edited_by_hand"));
    // Once connected the token leaves the page.
    run(syncStateCall(true, "connected", "已连接，正在同步"));
    EXPECT_EQ(run(field + "return i.value;"), "");
}

TEST_F(PageTest, EachButtonPostsItsMessage) {
    open(370, 500);
    const auto expect = [&](bool connected, const char* id, const json& message) {
        run(syncStateCall(connected, connected ? "connected" : "disconnected", "…"));
        EXPECT_EQ(postedBy(std::string("document.getElementById('") + id + "').click();"),
                  json::array({message}))
            << id;
    };
    expect(false, "connect", {{"type", "openSyncSetup"}});
    expect(false, "paste-token", {{"type", "pasteSyncToken"}});
    expect(true, "sync-now", {{"type", "syncNow"}});
    expect(true, "disconnect", {{"type", "disconnectSync"}});
    expect(true, "open-calendar", {{"type", "openCalendar"}});
    expect(true, "collapse", kCollapse);
}

// ---------------------------------------------------------------------- expanding and dragging

TEST_F(PageTest, PressingAndMovingMoreThanThreePixelsDragsTheFigureLessIsAClick) {
    open(64, 64);
    EXPECT_EQ(
        postedBy(
            "__test.press('#figure', [100, 200], [102, 202], [110, 205], [130, 180]).click();"),
        json({{{"type", "dragStart"}, {"screenX", 100}, {"screenY", 200}},
              {{"type", "dragMove"}, {"screenX", 110}, {"screenY", 205}},
              {{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}},
              {{"type", "dragEnd"}}}))
        << "the click that ends a drag is swallowed";
    EXPECT_EQ(run("return __test.shown('figure', 'panel');"), json({true, false}));
    // The next click expands, though it wobbles: the swallowed click was only the drag's own.
    EXPECT_EQ(postedBy("__test.press('#figure', [300, 200], [302, 201]).click();"),
              json({kExpand}));
    EXPECT_EQ(run("return __test.shown('figure', 'panel');"), json({false, true}));
    // The header drags the window too, but its buttons do not.
    EXPECT_EQ(postedBy("__test.press('#diary-title', [500, 300], [540, 320]);"),
              json({{{"type", "dragStart"}, {"screenX", 500}, {"screenY", 300}},
                    {{"type", "dragMove"}, {"screenX", 540}, {"screenY", 320}},
                    {{"type", "dragEnd"}}}));
    EXPECT_EQ(postedBy("__test.press('#open-calendar', [500, 300], [540, 320]);"), json::array());
}

TEST_F(PageTest, RealPointerAndKeyInputDragsExpandsAndCollapses) {
    open(64, 64);
    const auto [x, y] = screenOrigin();
    // A press, then a release beyond the window: xdotool moves there in one jump, which only
    // pointer capture keeps for the figure.
    ASSERT_TRUE(realInput(20, 30, "mousedown 1"));
    ASSERT_TRUE(realInput(144, 150, "mouseup 1"));
    ASSERT_TRUE(arrived("dragEnd"));
    const json dragged = std::exchange(messages_, {});
    ASSERT_GE(dragged.size(), 3u);
    EXPECT_EQ(dragged.front(),
              json({{"type", "dragStart"}, {"screenX", x + 20}, {"screenY", y + 30}}));
    EXPECT_EQ(dragged[dragged.size() - 2],
              json({{"type", "dragMove"}, {"screenX", x + 144}, {"screenY", y + 150}}));
    EXPECT_EQ(dragged.back(), json({{"type", "dragEnd"}}));
    ASSERT_TRUE(realInput(32, 40, "click 1"));
    ASSERT_TRUE(arrived("expanded"));
    EXPECT_EQ(json(std::exchange(messages_, {})), json({kExpand})) << "a drag's end is no click";
    gtk_widget_grab_focus(GTK_WIDGET(view_));
    ASSERT_TRUE(realInput(10, 10, "key Escape"));
    ASSERT_TRUE(arrived("expanded"));
    EXPECT_EQ(json(std::exchange(messages_, {})), json({kCollapse}));
    EXPECT_EQ(run("return __test.shown('panel', 'figure');"), json({false, true}));
    EXPECT_EQ(postedBy("__test.escape();"), json::array()) << "Escape on the figure";
}

TEST_F(PageTest, TheDebugFunctionsExpandWithoutAMessageAndScrollTheDiaryToItsTop) {
    open(370, 500);
    std::string longDiary = kEmptyDiary;
    for (int i = 0; i < 40; ++i) longDiary += "- 第 " + std::to_string(i) + " 件事。\n";
    EXPECT_EQ(run(diaryCall(longDiary) + R"(
        const s = document.getElementById('diary-scroll');
        s.scrollTop = 400;
        const before = s.scrollTop;
        window.__quilloDebug.resetScroll();
        return [before > 0, s.scrollTop];
    )"),
              json({true, 0}));
    open(64, 64);
    EXPECT_EQ(postedBy("window.__quilloDebug.setExpanded(true);"), json::array());
    EXPECT_EQ(run("return [...__test.shown('panel'), "
                  "document.documentElement.classList.contains('is-expanded')];"),
              json({true, true}));
}

TEST_F(PageTest, TheWindowsSizeIsFollowedButNeverUndoesACollapseThePageAskedFor) {
    open(64, 64);
    const std::string shown = "__test.shown('panel', 'figure')";
    // The tray menu resizes the window without calling the page.
    EXPECT_EQ(resizedTo(370, 500, shown), json({true, false}));
    EXPECT_EQ(postedBy("__test.escape();"), json({kCollapse}));
    // The window shrinks over a few frames; on the way it is still large.
    EXPECT_EQ(resizedTo(300, 400, shown), json({false, true}));
    EXPECT_EQ(resizedTo(64, 64, shown), json({false, true}));
    EXPECT_EQ(resizedTo(370, 500, shown), json({true, false}));
}

// ------------------------------------------------------------------------------- animation

TEST_F(PageTest, WalkAndAbsorbPlayOnceAndStopAndNothingAnimatesForever) {
    setDesktopAnimations(true);
    open(64, 64);
    for (const std::string direction : {"1.0", "-1.0"}) {
        const std::string cls = direction == "1.0" ? "walk-right" : "walk-left";
        EXPECT_EQ(run("window.quilloWalk(" + direction + "); return [document.getElementById(" +
                      "'figure').classList.contains('" + cls +
                      "'), document.getAnimations().length > 0];"),
                  json({true, true}))
            << direction;
        EXPECT_EQ(run(kUntilIdle), true) << "the walk must end by itself";
    }
    run(diaryCall("## 今天做了什么\n\n- 旧的一条。"));
    const json absorbed = run(diaryCall("## 今天做了什么\n\n- 旧的一条。\n- 新的一条。") +
                              syncStateCall(true, "syncing", "正在同步今天的记忆") + R"(
        window.quilloAbsorb();
        const animations = document.getAnimations();
        return [document.getElementById('figure').classList.contains('is-absorbing'),
                Array.from(document.querySelectorAll('#diary li.is-fresh'), (li) => li.textContent),
                animations.length > 0,
                animations.filter((a) => a.effect.getComputedTiming().endTime === Infinity).length];
    )");
    EXPECT_EQ(absorbed, json({true, {"新的一条。"}, true, 0})) << "lit, moving, nothing endless";
    run(syncStateCall(true, "synced", "今天的记忆已同步"));
    EXPECT_EQ(run(kUntilIdle), true);
}

TEST_F(PageTest, ReducedMotionKeepsThePageStill) {
    setDesktopAnimations(false);
    open(64, 64);
    const json still = run(R"(
        window.quilloWalk(-1.0);
        window.quilloAbsorb();
        return [matchMedia('(prefers-reduced-motion: reduce)').matches,
                document.getAnimations().length];
    )");
    setDesktopAnimations(true);
    EXPECT_EQ(still, json({true, 0}));
}

// -------------------------------------------------------------------------------- the look

TEST_F(PageTest, FigureAndCardStandOnATransparentWindowOrAnOpaqueTileWithoutACompositor) {
    const auto expect = [&](int width, int height, bool compositor, int solidX, int solidY) {
        SCOPED_TRACE(std::to_string(width) + (compositor ? " with" : " without") + " compositor");
        open(width, height);
        // The entrance and the state effects are finished at once, so the picture is final.
        run(diaryCall(kRealisticDiary) + syncStateCall(true, "error", "同步失败（HTTP 401）") +
            (compositor ? "" : "document.documentElement.classList.add('no-compositor');") +
            "document.getAnimations().forEach((a) => a.finish());");
        const Surface shot = snapshot();
        ASSERT_TRUE(shot);
        ASSERT_EQ(cairo_image_surface_get_width(shot.get()), width);
        EXPECT_EQ(alphaAt(shot.get(), 0, 0), compositor ? 0 : 255);
        EXPECT_EQ(alphaAt(shot.get(), width - 1, 0), compositor ? 0 : 255);
        EXPECT_EQ(alphaAt(shot.get(), solidX, solidY), 255);
    };
    expect(64, 64, true, 32, 40);  // the figure's body is opaque
    expect(64, 64, false, 32, 40);
    expect(370, 500, true, 185, 250);  // the card's corners are rounded off
    expect(370, 500, false, 185, 250);
}

}  // namespace
