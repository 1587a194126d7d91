// The companion page in the app's own web view in a real GTK window, driven through the page
// functions the app calls and heard through its "companion" message handler.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/gtk/GtkWebView.h"
#include "support/MainContext.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quillo::testing::runUntil;

constexpr const char* kEmptyDiary = "## 今天做了什么\n\n";
const json kExpand = {{"type", "expanded"}, {"value", true}};
const json kCollapse = {{"type", "expanded"}, {"value", false}};

std::string diaryCall(const std::string& content) {
    return "window.quilloSetDiary(" +
           json{{"title", "2026年12月6日星期日"},
                {"source", "KILN + Tansy工作 · 本地记忆"},
                {"content", content}}
               .dump() +
           ");";
}

std::string syncStateCall(bool connected, const std::string& status, const std::string& message) {
    return "window.quilloSetSyncState(" +
           json{{"connected", connected}, {"status", status}, {"message", message}}.dump() + ");";
}

// Longer than the panel, with every kind of block an agent writes, and lines written to harm.
const std::string kLongDiary = [] {
    std::string diary = R"(## 今天做了什么

### KILN
- 修好了展开面板时滚动位置没有回到顶部的问题。
- 整理了本周的阅读笔记，归档到 `notes/2026-12` 目录。
  - 缩进的一条

### Tansy工作
- 回复了三封关于 [发布计划](https://quillo.app/plan) 的邮件。
- <script>window.__ran = 'script'</script><img src=x onerror="window.__ran = 'img'">
- <iframe src="https://example.com/"></iframe> [点我](javascript:window.__ran='link') <!-- 注 -->

> 引用

| 项 | 值 |
|---|---|
| `内存` | 11 MB |

## 今天学到了什么

- **少即是多**：空闲时什么都不做，才是真正的省电。
)";
    for (int i = 0; i < 30; ++i) diary += "- 第 " + std::to_string(i) + " 件事。\n";
    return diary;
}();

// Helpers in the page: a synthetic press through the points, visible elements, the focus, the
// next key, a scroll position at rest. The renderer loads when the panel first opens; wait for it.
constexpr const char* kTestHelpers = R"(
    window.__test = {
        press(selector, ...points) {
            const el = document.querySelector(selector), fire = (type, [screenX, screenY]) =>
                el.dispatchEvent(new PointerEvent(type, { bubbles: true, pointerId: 1,
                    isPrimary: true, button: type === 'pointermove' ? -1 : 0, screenX, screenY }));
            points.forEach((p, i) => fire(i ? 'pointermove' : 'pointerdown', p));
            fire('pointerup', points.at(-1));
            return el;
        },
        shown: (...ids) => ids.map((id) => {
            const el = document.getElementById(id);
            return el.getClientRects().length > 0 && getComputedStyle(el).visibility !== 'hidden';
        }),
        focus: () => document.activeElement.id,
        keyup: () => new Promise((ok) => addEventListener('keyup', ok, { once: true })),
        until: (done) => new Promise((ok) => {
            const check = () => (done() ? ok(true) : requestAnimationFrame(check));
            check();
        }),
        scrolled(el, last = -1, still = 0) {
            return __test.until(() => (still = el.scrollTop === last ? still + 1 : 0,
                                       last = el.scrollTop, still > 3)).then(() => last);
        },
    };
    return __test.until(() => !document.documentElement.classList.contains('is-expanded') ||
                              window.markdownit);
)";

// axe-core's violations of serious or critical impact, controls the window cuts off, and text
// smaller than 12 pixels.
constexpr const char* kAudit = R"(
    const shown = [...document.querySelectorAll('body *')].filter((e) => e.getClientRects().length);
    const outside = shown.filter((e) => e.matches('button, input, [tabindex]') &&
        !e.closest('#diary-scroll')).filter((e) => { const r = e.getBoundingClientRect();
            return r.left < 0 || r.top < 0 || r.right > innerWidth + 1 ||
                   r.bottom > innerHeight + 1; }).map((e) => 'cut off: #' + e.id);
    const small = shown.filter((e) => parseFloat(getComputedStyle(e).fontSize) < 12 &&
        [...e.childNodes].some((n) => n.nodeType === 3 && n.data.trim()))
        .map((e) => 'under 12 px: ' + e.textContent);
    return axe.run(document, { resultTypes: ['violations'] }).then((result) => [
        ...result.violations.filter((v) => ['serious', 'critical'].includes(v.impact))
            .map((v) => v.id + ': ' + v.nodes.map((n) => n.target.join(' ')).join(', ')),
        ...outside, ...small]);
)";

struct Recorder : quillo::ScriptMessageHandler {
    void didReceiveScriptMessage(const json& body) override { messages.push_back(body); }
    std::vector<json> messages;
};

// One page in one window of the given size.
class PageTest : public ::testing::Test {
protected:
    // `textScale` is the desktop's (GNOME's Large Text is 1.25), which WebKit turns into a zoom.
    void open(int width, int height, double textScale = 1.0) {
        TearDown();
        g_object_get(gtk_settings_get_default(), "gtk-xft-dpi", &desktopDpi_, nullptr);
        g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", int(96 * 1024 * textScale),
                     nullptr);
        page_ = std::make_unique<quillo::gtk::GtkWebView>();
        page_->setTransparentBackground();
        page_->addScriptMessageHandler("companion", recorder_);
        recorder_->messages.clear();
        bool loaded = false;
        page_->setLoadFinishedHandler([&] { loaded = true; });
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_widget_set_size_request(page_->widget(), width, height);
        gtk_container_add(GTK_CONTAINER(window_), page_->widget());
        gtk_widget_show_all(window_);
        page_->loadFile(fs::path(QUILLO_BUILD_BUNDLE) / "index.html");
        ASSERT_TRUE(runUntil([&] { return loaded; })) << "the page did not load";
        page_->setLoadFinishedHandler(nullptr);
        run(kTestHelpers);
    }
    void TearDown() override {
        if (!window_) return;
        page_.reset();
        gtk_widget_destroy(std::exchange(window_, nullptr));
        g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", desktopDpi_, nullptr);
    }

    // The result of `body`, run as an async function's body in the page, as the page posts it;
    // `meanwhile` runs once the page has the body. What the page posted before is in `posted`.
    json run(const std::string& body, const std::function<void()>& meanwhile = {}) {
        page_->evaluateScript("(async () => {" + body +
                              "\n})().catch((e) => ({error: String(e)}))"
                              ".then((value) => window.webkit.messageHandlers.companion"
                              ".postMessage({type: 'answer', value}));");
        if (meanwhile) meanwhile();
        posted = arrived("answer");
        const json answer = posted.empty() ? json() : posted.back().value("value", json());
        if (!posted.empty()) posted.erase(posted.size() - 1);
        EXPECT_FALSE(answer.contains("error")) << answer << " in: " << body.substr(0, 500);
        return answer;
    }
    json postedBy(const std::string& body) { return run(body), posted; }
    // Waits for a message of the given type and answers everything posted until then.
    json arrived(const std::string& type) {
        const auto ofType = [&](const json& m) { return m.value("type", "") == type; };
        EXPECT_TRUE(runUntil([&] { return std::ranges::any_of(recorder_->messages, ofType); }))
            << type;
        return std::exchange(recorder_->messages, {});
    }

    // Real X input through xdotool and the XTest extension, at a point of the web view.
    bool realInput(int x, int y, const std::string& action) {
        int left = 0, top = 0;
        gdk_window_get_origin(gtk_widget_get_window(page_->widget()), &left, &top);
        const std::string command = "xdotool mousemove " + std::to_string(left + x) + " " +
                                    std::to_string(top + y) + " " + action;
        gint status = -1;
        EXPECT_TRUE(g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, &status, nullptr))
            << "xdotool comes with the set-up";
        return g_spawn_check_wait_status(status, nullptr);
    }
    // A real key, and `then` once the page has had it.
    json key(const std::string& name, const std::string& then) {
        return run("return __test.keyup().then(() => " + then + ");",
                   [&] { realInput(185, 250, "key " + name); });
    }
    // Resizes the window as the app does and answers `then` once the page has seen the new size.
    json resizedTo(int width, int height, const std::string& then) {
        gtk_widget_set_size_request(page_->widget(), width, height);
        gtk_window_resize(GTK_WINDOW(window_), width, height);
        const auto size = std::to_string(width) + " && innerHeight === " + std::to_string(height);
        return run("return __test.until(() => innerWidth === " + size + ").then(() => " + then +
                   ");");
    }
    // The alpha at the points of the app's snapshot of the window: a PNG of the window's size.
    std::vector<int> alphaAt(int width, int height, const std::vector<std::pair<int, int>>& at) {
        std::optional<std::optional<std::string>> png;
        page_->takeSnapshot([&](std::optional<std::string> answer) { png = std::move(answer); });
        EXPECT_TRUE(runUntil([&] { return png.has_value(); }) && *png) << "no picture";
        const std::string bytes = png ? png->value_or("") : "";
        g_autoptr(GInputStream) in =
            g_memory_input_stream_new_from_data(bytes.data(), gssize(bytes.size()), nullptr);
        g_autoptr(GdkPixbuf) read = gdk_pixbuf_new_from_stream(in, nullptr, nullptr);
        if (!read || gdk_pixbuf_get_width(read) != width || gdk_pixbuf_get_height(read) != height)
            return {};
        // An opaque picture is written without an alpha channel.
        g_autoptr(GdkPixbuf) picture = gdk_pixbuf_add_alpha(read, FALSE, 0, 0, 0);
        std::vector<int> alpha;
        for (const auto& [x, y] : at)
            alpha.push_back(
                gdk_pixbuf_get_pixels(picture)[y * gdk_pixbuf_get_rowstride(picture) + x * 4 + 3]);
        return alpha;
    }

    GtkWidget* window_ = nullptr;
    std::unique_ptr<quillo::gtk::GtkWebView> page_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    json posted;
    int desktopDpi_ = -1;
};

// The renderer costs memory, so the collapsed figure keeps the diary as text until it opens. A
// diary written to harm runs nothing and shows as text; links open through the app: no target.
TEST_F(PageTest, LoadsQuietlyRunsNoScriptButItsOwnAndRendersTheDiaryOnceOpened) {
    open(64, 64);
    EXPECT_EQ(posted, json::array()) << "loading posts nothing";
    EXPECT_EQ(run(R"(
        const s = document.createElement('script');
        s.textContent = 'window.__inlineRan = true;';
        document.body.appendChild(s);
        const csp = document.querySelector('meta[http-equiv="Content-Security-Policy"]').content;
        return [document.getAnimations().length, window.__inlineRan ?? false,
                csp.includes("default-src 'none'") && csp.includes("script-src 'self'") &&
                    !csp.includes('unsafe-inline')];)"),
              json({0, false, true}))
        << "moved, ran an inline script, or allows more";
    const std::string diary = R"(
        const d = document.getElementById('diary');
        const text = (selector) => Array.from(d.querySelectorAll(selector), (e) => e.textContent);
        const raw = ['今天学到了什么', '<script>', '<img src=x onerror=', '<iframe', 'javascript:',
                     '<!-- 注 -->'];
        return [typeof window.markdownit, ...__test.shown('diary', 'empty'), text('h2'),
                text('h3'), text('li').length, text('code'), text('strong'),
                text('.section-empty').length,
                Array.from(d.querySelectorAll('a'), (a) => [a.getAttribute('href'), a.target]),
                d.querySelectorAll('script, img, iframe, [onerror]').length, window.__ran ?? null,
                raw.every((t) => d.textContent.includes(t)),
                document.getElementById('diary-title').textContent,
                document.getElementById('diary-source').textContent];)";
    EXPECT_EQ(postedBy(diaryCall(kLongDiary)), json::array());
    EXPECT_EQ(run(diary), json::parse(R"(["undefined", false, false, [], [], 0, [], [], 0, [], 0,
        null, true, "2026年12月6日星期日", "KILN + Tansy工作 · 本地记忆"])"));
    // The app's snapshot mode opens the page this way; the raw text never shows.
    EXPECT_EQ(postedBy("window.__quilloDebug.setExpanded(true); if (__test.shown('diary')[0])"
                       "window.webkit.messageHandlers.companion.postMessage({type: 'raw'});"),
              json::array());
    run(kTestHelpers);
    EXPECT_EQ(run(diary), json::parse(R"(["function", true, false,
        ["今天做了什么", "今天学到了什么"], ["KILN", "Tansy工作"], 37, ["notes/2026-12", "内存"],
        ["少即是多"], 0, [["https://quillo.app/plan", ""], ["https://example.com/", ""]], 0,
        null, true, "2026年12月6日星期日", "KILN + Tansy工作 · 本地记忆"])"));
    run(diaryCall("## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了。"));
    EXPECT_EQ(run(diary)[8], 1) << "an empty section says so";
    run(diaryCall(kEmptyDiary));
    EXPECT_EQ(run("return __test.shown('empty', 'diary');"), json({true, false}));
}

// A press moved more than three pixels drags, and its click is swallowed; the window's size, set
// by the app or the tray menu, opens and closes the panel; each button posts its message.
TEST_F(PageTest, PressesDragOrClickTheWindowSizeOpensThePanelAndEachButtonPostsItsMessage) {
    open(64, 64);
    EXPECT_EQ(postedBy("__test.press('#figure', [100, 200], [102, 202], [110, 205], [130, 180])"
                       ".click();"),
              json::parse(R"([{"type": "dragStart", "screenX": 100, "screenY": 200},
                  {"type": "dragMove", "screenX": 110, "screenY": 205},
                  {"type": "dragMove", "screenX": 130, "screenY": 180}, {"type": "dragEnd"}])"));
    const std::string shown = "__test.shown('panel', 'figure')";
    EXPECT_EQ(run("return " + shown), json({false, true}));
    // The next click expands, though it wobbles: the swallowed click was only the drag's own.
    EXPECT_EQ(postedBy("__test.press('#figure', [300, 200], [302, 201]).click();"),
              json({kExpand}));
    EXPECT_EQ(run("return " + shown), json({true, false}));
    // The header drags the window too, but its buttons do not.
    EXPECT_EQ(postedBy("__test.press('#diary-title', [500, 300], [540, 320]);"),
              json::parse(R"([{"type": "dragStart", "screenX": 500, "screenY": 300},
                  {"type": "dragMove", "screenX": 540, "screenY": 320}, {"type": "dragEnd"}])"));
    EXPECT_EQ(postedBy("__test.press('#open-calendar', [500, 300], [540, 320]);"), json::array());
    // The tray menu resizes the window without calling the page; a window that shrinks over a
    // few frames after the page collapsed is still large on the way, which opens nothing.
    EXPECT_EQ(resizedTo(370, 500, shown), json({true, false}));
    EXPECT_EQ(postedBy("document.getElementById('collapse').click();"), json({kCollapse}));
    EXPECT_EQ(resizedTo(300, 400, shown), json({false, true}));
    EXPECT_EQ(resizedTo(64, 64, shown), json({false, true}));
    EXPECT_EQ(resizedTo(370, 500, shown), json({true, false}));

    const auto expect = [&](const char* status, const char* id, const json& message) {
        run(syncStateCall(std::string(status) != "disconnected", status, "…"));
        EXPECT_EQ(postedBy(std::string("document.getElementById('") + id + "').click();"),
                  message.is_null() ? json::array() : json::array({message}))
            << id;
    };
    expect("disconnected", "connect", {{"type", "openSyncSetup"}});
    expect("disconnected", "paste-token", {{"type", "pasteSyncToken"}});
    expect("disconnected", "save-token", nullptr);
    run(R"(window.quilloSetSyncToken({"token": "qa_7f3c9e1d"});)");
    expect("disconnected", "save-token", {{"type", "saveSyncToken"}, {"token", "qa_7f3c9e1d"}});
    // The field stays editable: what the user types is what is sent.
    run("const i = document.getElementById('token-input'); i.value = '  qa_by_hand  ';"
        "i.dispatchEvent(new Event('input', { bubbles: true }));");
    expect("disconnected", "save-token", {{"type", "saveSyncToken"}, {"token", "qa_by_hand"}});
    expect("connected", "sync-now", {{"type", "syncNow"}});
    EXPECT_EQ(run("return document.getElementById('token-input').value;"), "")
        << "once connected the token leaves the page";
    expect("syncing", "sync-now", nullptr);
    expect("connected", "disconnect", {{"type", "disconnectSync"}});
    expect("connected", "open-calendar", {{"type", "openCalendar"}});
}

// Real pointer and keys: the focus goes into the panel when it opens and back to the figure when
// it closes, the keyboard scrolls the diary, and a busy "立即同步" keeps the focus.
TEST_F(PageTest, RealPointerAndKeysDragOpenScrollAndCloseWithTheFocusFollowing) {
    open(64, 64);
    // A press, then a release beyond the window: xdotool moves there in one jump, which only
    // pointer capture keeps for the figure.
    ASSERT_TRUE(realInput(20, 30, "mousedown 1"));
    ASSERT_TRUE(realInput(144, 150, "mouseup 1"));
    const json dragged = arrived("dragEnd");
    ASSERT_GE(dragged.size(), 3u);
    EXPECT_EQ(dragged[dragged.size() - 2]["screenX"].get<int>() - dragged[0]["screenX"].get<int>(),
              124);
    ASSERT_TRUE(realInput(32, 40, "click 1"));
    EXPECT_EQ(arrived("expanded"), json({kExpand})) << "a drag's end is no click";
    EXPECT_EQ(resizedTo(370, 500, "__test.focus()"), "panel");
    run(diaryCall(kLongDiary));
    gtk_widget_grab_focus(page_->widget());
    json order = json::array();
    for (int i = 0; i < 3; ++i) order.push_back(key("Tab", "__test.focus()"));
    EXPECT_EQ(order, json({"open-calendar", "collapse", "diary-scroll"}));
    std::vector<int> at;
    for (const char* name : {"Down", "Next", "End", "Home", "space"})
        at.push_back(key(name, "__test.scrolled(document.activeElement)").get<int>());
    const json bottom =
        run("const s = document.activeElement; window.__quilloDebug.resetScroll();"
            "return [s.scrollHeight - s.clientHeight, s.scrollTop];");
    EXPECT_TRUE(at[0] > 0 && at[1] > at[0] && at[2] == bottom[0] && at[3] == 0 && at[4] > 0)
        << "Down, Page Down, End, Home, Space: " << json(at) << " of " << bottom[0];
    EXPECT_EQ(bottom[1], 0) << "reset";
    run(syncStateCall(true, "connected", "") + "document.getElementById('sync-now').focus();" +
        syncStateCall(true, "syncing", "正在同步今天的记忆"));
    EXPECT_EQ(run("return __test.focus();"), "sync-now");
    ASSERT_TRUE(realInput(10, 10, "key Escape"));
    EXPECT_EQ(arrived("expanded"), json({kCollapse}));
    EXPECT_EQ(run("return [...__test.shown('panel', 'figure'), __test.focus()];"),
              json({false, true, "figure"}));
    EXPECT_EQ(key("Escape", "0"), 0);
    EXPECT_EQ(postedBy(""), json::array()) << "Escape on the figure";
}

// Every frame painted in software costs, so a walk is a few poses with nothing animated in
// between, every effect ends by itself, and with reduced motion nothing moves at all.
TEST_F(PageTest, AWalkIsAFewStillPosesEveryEffectEndsAndReducedMotionKeepsAllStill) {
    GtkSettings* desktop = gtk_settings_get_default();  // animations whatever the desktop says
    g_object_set(desktop, "gtk-enable-animations", TRUE, nullptr);
    open(370, 500);
    run(diaryCall("## 今天做了什么\n\n- 旧的一条。"));
    resizedTo(64, 64, "0");
    for (const std::string direction : {"1.0", "-1.0"}) {
        const json walk = run("window.quilloWalk(" + direction + R"();
            const f = document.getElementById('figure'), poses = [f.dataset.pose];
            const lean = [...f.classList].filter((c) => c.startsWith('walk-'));
            let animated = document.getAnimations().length;
            return new Promise((resolve) => new MutationObserver((_, observer) => {
                animated += document.getAnimations().length;
                if (f.dataset.pose) return poses.push(f.dataset.pose);
                observer.disconnect();
                resolve([lean, new Set(poses).size, poses.length, animated]);
            }).observe(f, { attributes: true, attributeFilter: ['data-pose'] }));)");
        const char* lean = direction == "1.0" ? "walk-right" : "walk-left";
        EXPECT_EQ(walk, json({{lean}, 4, 6, 0})) << "six poses of four kinds, nothing animated";
    }
    const std::string absorb = R"(
        window.quilloAbsorb();
        const animations = document.getAnimations();
        return [document.getElementById('figure').classList.contains('is-absorbing'),
                Array.from(document.querySelectorAll('#diary li.is-fresh'), (li) => li.textContent),
                animations.length > 0,
                animations.filter((a) => a.effect.getComputedTiming().endTime === Infinity).length];
    )";
    EXPECT_EQ(run(diaryCall("## 今天做了什么\n\n- 旧的一条。\n- 新的一条。") +
                  syncStateCall(true, "syncing", "正在同步今天的记忆") + absorb),
              json({true, {"新的一条。"}, true, 0}))
        << "lit, moving, nothing endless";
    run(syncStateCall(true, "synced", "今天的记忆已同步"));
    EXPECT_EQ(run("return __test.until(() => !document.getAnimations().length &&"
                  "!document.querySelector('.is-walking, .is-absorbing'));"),
              true);
    g_object_set(desktop, "gtk-enable-animations", FALSE, nullptr);
    open(64, 64);
    const json still = run("window.quilloWalk(-1.0); window.__quilloDebug.setExpanded(true);" +
                           syncStateCall(true, "syncing", "…") + absorb);
    g_object_set(desktop, "gtk-enable-animations", TRUE, nullptr);
    EXPECT_EQ(still, json({true, json::array(), false, 0})) << "moved with reduced motion";
    EXPECT_EQ(run("return document.querySelectorAll('[data-pose]').length;"), 0);
}

// Each state of the page: what it shows, what axe-core (for the tests only, never bundled) and
// the audit find, and its look in the app's snapshot: transparent around the figure or the card,
// or an opaque tile without a compositor.
TEST_F(PageTest, EveryStateShowsItselfAccessiblyAtEveryTextScaleOnItsBackground) {
    for (const auto& file : fs::recursive_directory_iterator(QUILLO_BUILD_BUNDLE))
        EXPECT_EQ(file.path().filename().string().find("axe"), std::string::npos) << file.path();
    std::ifstream axeFile(fs::path(QUILLO_SOURCE_DIR) / "node_modules/axe-core/axe.min.js");
    const std::string axe((std::istreambuf_iterator<char>(axeFile)), {});
    ASSERT_FALSE(axe.empty()) << "axe-core comes with `npm ci`";
    std::optional<std::optional<std::string>> none;
    quillo::gtk::GtkWebView().takeSnapshot([&](auto png) { none = std::move(png); });
    EXPECT_TRUE(runUntil([&] { return none.has_value(); }) && !*none) << "a view never shown";
    // Opened, text scale, compositor, a long diary, the sync state (connected, status, message),
    // then what shows: the message (null: the same), what the figure's name adds, the token
    // field marked as refused. A failure without a text is a failure still.
    for (const json& s : json::parse(R"([
        [false, 1.0, true, true, true, "synced", "今天的记忆已同步", null, "，已同步", false],
        [false, 1.5, false, false, false, "error", "剪贴板里没有连接令牌", null, "，同步失败", true],
        [true, 1.0, true, false, false, "disconnected", "连接后可跨设备查看", null, "", false],
        [true, 1.0, false, true, true, "connected", "", "已连接 Quillo", "", false],
        [true, 1.25, true, true, true, "syncing", "正在同步今天的记忆", null, "，正在同步", false],
        [true, 1.25, false, false, true, "error", "", "同步失败", "，同步失败", false],
        [true, 1.5, true, true, true, "error", "同步失败（HTTP 401）", null, "，同步失败", false],
        [true, 1.5, false, false, false, "error", "令牌格式不正确", null, "，同步失败", true]])")) {
        SCOPED_TRACE(s.dump());
        const bool opened = s[0], compositor = s[2], connected = s[4];
        const int width = opened ? 370 : 64, height = opened ? 500 : 64;
        open(width, height, s[1]);
        // The entrance and the state effects are finished at once, so the picture is final.
        run(diaryCall(s[3] ? kLongDiary : kEmptyDiary) + syncStateCall(connected, s[5], s[6]) +
            (compositor ? "" : "document.documentElement.classList.add('no-compositor');") +
            "document.getAnimations().forEach((a) => a.finish());" + axe);
        EXPECT_EQ(run(R"(const t = document.getElementById('token-input');
            return [document.getElementById('sync-message').textContent,
                    ...__test.shown('connect', 'token-input', 'sync-now', 'disconnect'),
                    document.getElementById('sync-now').getAttribute('aria-disabled') === 'true',
                    document.getElementById('figure').getAttribute('aria-label'),
                    t.getAttribute('aria-invalid') === 'true' &&
                        t.getAttribute('aria-describedby') === 'sync-message'];)"),
                  json({s[7].is_null() ? s[6] : s[7], opened && !connected, opened && !connected,
                        opened && connected, opened && connected, s[5] == "syncing",
                        "展开 Quillo" + s[8].get<std::string>(), s[9]}));
        EXPECT_EQ(run(kAudit), json::array());
        // Corners, and the figure's body or the middle of the card.
        const int corner = compositor ? 0 : 255;
        EXPECT_EQ(alphaAt(width, height, {{0, 0}, {width - 1, 0}, {width / 2, height * 5 / 8}}),
                  std::vector<int>({corner, corner, 255}));
    }
}

}  // namespace
