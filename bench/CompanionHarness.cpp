// The companion as the executable starts it (the GTK application, the controller on the GTK
// platform, the tray item), with one addition: a user script wraps the page's quilloSetDiary and
// quilloWalk so that every diary the page has handled and every wander step it was told of is
// reported to a message handler of the harness's own. The page's function runs first and
// unchanged; the report follows once it has returned.
//
//   companion_harness startup N   start → first diary handled by the page, measured from the
//                                 process's own start time in /proc/self/stat; then N times a
//                                 diary file written → the page has handled the new diary
//   companion_harness stall       connects with a made-up token (QUILLO_API_URL points at a
//                                 server that never answers), and records the largest gap
//                                 between ticks of a 1 ms main-loop timer while the upload waits
//   companion_harness control     the same 1 ms timer for 15 s in a bare GLib main loop, without
//                                 the companion: the gaps the machine itself causes
//   companion_harness idle [expanded]
//                                 runs like the executable (expanded once the first diary is
//                                 shown, as the tray item does); counts from SIGHUP until
//                                 SIGUSR2 and prints then, running on until it is ended: wander
//                                 steps the page was told of, X window moves (configure events
//                                 with a new position) and draws of the web view in this process
//
// Prints one JSON object and ends. Runs in a desktop session (tests/with-desktop-session.sh);
// today's diary files are read from and written to $HOME as usual.
// QUILLO_BENCH_ACCELERATION=always turns the web view's hardware acceleration on, for comparing.

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <time.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GtkApplicationShell.h"
#include "platform/gtk/GtkPlatform.h"
#include "platform/gtk/GtkWebView.h"
#include "support/ControllerProbe.h"

namespace {

using namespace quillo;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr const char* reportHandler = "quilloBench";
// Assigned by the page as plain properties; the accessors hand out wrappers instead.
constexpr const char* wrapScript = R"(
(() => {
    const report = (name, describe) => {
        let wrapped;
        Object.defineProperty(window, name, {
            configurable: true,
            get: () => wrapped,
            set: (original) => {
                wrapped = (...args) => {
                    const result = original(...args);
                    window.webkit.messageHandlers.quilloBench.postMessage(describe(...args));
                    return result;
                };
            },
        });
    };
    report('quilloSetDiary', (diary) => typeof diary?.content === 'string' ? diary.content : '');
    report('quilloWalk', () => ({walk: true}));
})();)";

// Milliseconds since this process was created, from the kernel's record of its start.
double millisecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(text.rfind(')') + 2)) {
        if (c != ' ') {
            field += c;
        } else {
            fields.push_back(field);
            field.clear();
        }
    }
    const double startTicks = std::stod(fields.at(19));  // field 22 of the whole line
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (now.tv_sec + now.tv_nsec / 1e9) * 1000 - startTicks * 1000 / sysconf(_SC_CLK_TCK);
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

[[noreturn]] void finish(const Json& result) {
    std::printf("%s\n", result.dump().c_str());
    std::fflush(stdout);
    std::_Exit(0);
}

class BenchPlatform : public gtk::GtkPlatform {
public:
    using GtkPlatform::GtkPlatform;
    std::function<void(const std::string&)> onDiary;
    std::function<void()> onWalk;
    WebKitWebView* web = nullptr;

    std::unique_ptr<WebView> createWebView() override {
        auto view = GtkPlatform::createWebView();
        web = static_cast<gtk::GtkWebView&>(*view).view();
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(web);
        WebKitUserScript* script =
            webkit_user_script_new(wrapScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(content, script);
        webkit_user_script_unref(script);
        g_signal_connect(content, "script-message-received::quilloBench",
                         G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result,
                                        gpointer self) {
                             JSCValue* value = webkit_javascript_result_get_js_value(result);
                             auto* me = static_cast<BenchPlatform*>(self);
                             if (jsc_value_is_object(value)) {
                                 if (me->onWalk) me->onWalk();
                                 return;
                             }
                             char* text = jsc_value_to_string(value);
                             if (me->onDiary) me->onDiary(text ? text : "");
                             g_free(text);
                         }),
                         this);
        webkit_user_content_manager_register_script_message_handler(content, reportHandler);
        if (const char* policy = std::getenv("QUILLO_BENCH_ACCELERATION");
            policy && std::string(policy) == "always")
            webkit_settings_set_hardware_acceleration_policy(
                webkit_web_view_get_settings(web), WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
        return view;
    }
};

std::filesystem::path buildBundle() { return QUILLO_BUILD_BUNDLE; }

void writeTodaysDiary(const std::string& text) {
    const auto file = TodayDiary::diaryFile(g_get_home_dir(), TodayDiary::sources[0],
                                            TodayDiary::dayKey(std::chrono::system_clock::now()));
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Writes today's diary N times, each time once the page has handled the previous one and a
// quiet moment has passed, and times each write until the page has handled it.
struct WriteToPage {
    explicit WriteToPage(int count) : remaining(count) {}
    int remaining;
    int round = 0;
    Clock::time_point written;
    std::string marker;
    std::vector<double> latencies;

    void next() {
        if (remaining-- == 0) return;
        g_timeout_add(
            400,
            +[](gpointer self) -> gboolean {
                auto* me = static_cast<WriteToPage*>(self);
                me->marker = "第" + std::to_string(++me->round) + "次写入，页面收到了。";
                me->written = Clock::now();
                writeTodaysDiary("## 今天做了什么\n\n- 基准：" + me->marker + "\n");
                return G_SOURCE_REMOVE;
            },
            this);
    }
    // True when the diary was the one written last.
    bool handled(const std::string& content) {
        if (marker.empty() || content.find(marker) == std::string::npos) return false;
        latencies.push_back(millisecondsSince(written));
        marker.clear();
        return true;
    }
};

// The largest gap between ticks of a 1 ms timer while an upload is in flight.
struct StallWatch {
    std::shared_ptr<CompanionController> companion;
    bool waiting = false;
    Clock::time_point lastTick, uploadStart;
    double largestGap = 0;
    long ticks = 0;

    static gboolean tick(gpointer self) {
        auto* me = static_cast<StallWatch*>(self);
        const bool syncing = CompanionControllerProbe::isSyncing(*me->companion);
        const auto now = Clock::now();
        if (syncing && me->waiting) {
            me->largestGap = std::max(me->largestGap, millisecondsSince(me->lastTick));
            ++me->ticks;
        } else if (syncing) {
            me->waiting = true;
            me->uploadStart = now;
        } else if (me->waiting) {
            finish({{"largestGapMs", me->largestGap},
                    {"uploadWaitMs", millisecondsSince(me->uploadStart)},
                    {"ticks", me->ticks}});
        }
        me->lastTick = now;
        return G_SOURCE_CONTINUE;
    }
};

// What stays awake while nobody touches the companion, counted between SIGHUP and SIGUSR2
// (JavaScriptCore takes SIGUSR1 for its garbage collector).
struct IdleCount {
    bool counting = false;
    long walks = 0, moves = 0, draws = 0;
    int x = INT_MIN, y = INT_MIN;

    // The signals may come before the page is up: counting starts and ends on them all the same.
    void listen() {
        g_unix_signal_add(
            SIGHUP,
            +[](gpointer self) -> gboolean {
                static_cast<IdleCount*>(self)->counting = true;
                return G_SOURCE_REMOVE;
            },
            this);
        g_unix_signal_add(
            SIGUSR2,
            +[](gpointer self) -> gboolean {
                // Printed, not ended: the memory is taken after the counting window.
                auto* me = static_cast<IdleCount*>(self);
                me->counting = false;
                const Json counts = {
                    {"walks", me->walks}, {"moves", me->moves}, {"draws", me->draws}};
                std::printf("%s\n", counts.dump().c_str());
                std::fflush(stdout);
                return G_SOURCE_REMOVE;
            },
            this);
    }

    void watch(WebKitWebView* web) {
        g_signal_connect(web, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer self) {
                             auto* me = static_cast<IdleCount*>(self);
                             me->draws += me->counting;
                             return FALSE;
                         }),
                         this);
        g_signal_connect(gtk_widget_get_toplevel(GTK_WIDGET(web)), "configure-event",
                         G_CALLBACK(+[](GtkWidget*, GdkEventConfigure* event, gpointer self) {
                             auto* me = static_cast<IdleCount*>(self);
                             if (event->x != me->x || event->y != me->y) me->moves += me->counting;
                             me->x = event->x;
                             me->y = event->y;
                             return FALSE;
                         }),
                         this);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "startup" && mode != "stall" && mode != "idle" && mode != "control") {
        std::fprintf(stderr, "usage: companion_harness startup N | stall | control | idle\n");
        return 2;
    }
    if (mode == "control") {
        static const auto start = Clock::now();
        static auto last = start;
        static double largestGap = 0;
        g_timeout_add(
            1,
            +[](gpointer) -> gboolean {
                largestGap = std::max(largestGap, millisecondsSince(last));
                last = Clock::now();
                if (last - start > std::chrono::seconds(15)) finish({{"largestGapMs", largestGap}});
                return G_SOURCE_CONTINUE;
            },
            nullptr);
        for (;;) g_main_context_iteration(nullptr, TRUE);
    }
    static BenchPlatform platform(&buildBundle);
    static std::shared_ptr<CompanionController> companion;
    static double firstDiary = -1;
    static WriteToPage writes(std::max(1, argc > 2 ? std::atoi(argv[2]) : 10));
    static StallWatch stall;
    static IdleCount idle;
    const bool expanded = mode == "idle" && argc > 2 && std::string(argv[2]) == "expanded";
    if (mode == "idle") idle.listen();

    platform.onWalk = [] { idle.walks += idle.counting; };
    platform.onDiary = [mode, expanded](const std::string& content) {
        if (firstDiary < 0) {
            firstDiary = millisecondsSinceProcessStart();
            if (mode == "idle") {
                idle.watch(platform.web);
                if (expanded) companion->toggleExpanded();
            }
            if (mode == "startup") writes.next();
            if (mode == "stall") {
                stall.companion = companion;
                g_timeout_add(1, &StallWatch::tick, &stall);
                companion->connect("qlo_live_" + std::string(40, 'b'));
            }
            return;
        }
        if (mode != "startup" || !writes.handled(content)) return;
        if (writes.remaining > 0) return writes.next();
        std::sort(writes.latencies.begin(), writes.latencies.end());
        finish({{"startToFirstDiaryMs", firstDiary},
                {"writeToPageMs", writes.latencies},
                {"writeToPageMedianMs", writes.latencies[writes.latencies.size() / 2]}});
    };

    static gtk::GtkApplicationShell* shell = nullptr;
    static gtk::GtkApplicationShell theShell({[] {
                                                  companion = CompanionController::create(platform);
                                                  companion->start();
                                                  shell->installStatusItem(buildBundle() / "icons");
                                              },
                                              [] {}});
    shell = &theShell;
    char* onlyName[] = {argv[0], nullptr};
    return theShell.run(1, onlyName);
}
