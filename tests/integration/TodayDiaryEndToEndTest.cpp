// Today's diary from the disk to the page and to the command line, with every real part: the
// controller on the GTK platform showing the bundled page in WebKitGTK, the GIO folder watches,
// and the built executable's `diary` command, all reading a home folder made for the test.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GtkPlatform.h"
#include "platform/gtk/GtkWebView.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
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

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

fs::path bundle() { return QUILLO_BUILD_BUNDLE; }

// The process's own surroundings, except that home is a folder of the test's.
class TestHomeEnvironment : public gtk::ProcessEnvironment {
public:
    explicit TestHomeEnvironment(fs::path home)
        : ProcessEnvironment(&bundle), home_(std::move(home)) {}
    fs::path homeDirectory() const override { return home_; }
    fs::path dataHome() const override { return home_ / ".local" / "share"; }

private:
    fs::path home_;
};

class TestHomePlatform : public gtk::GtkPlatform {
public:
    explicit TestHomePlatform(const fs::path& home) : GtkPlatform(&bundle), environment_(home) {}
    Environment& environment() override { return environment_; }

private:
    TestHomeEnvironment environment_;
};

// Every diary the page's diary function receives, heard through a message handler of the test's
// own, so the test waits for the event rather than polling the page.
class DiaryRecorder {
public:
    explicit DiaryRecorder(WebKitWebView* view) : view_(view) {
        content_ = webkit_web_view_get_user_content_manager(view_);
        g_signal_connect(content_, "script-message-received::diaryTest",
                         G_CALLBACK(&DiaryRecorder::onMessage), this);
        webkit_user_content_manager_register_script_message_handler(content_, "diaryTest");
    }
    ~DiaryRecorder() {
        webkit_user_content_manager_unregister_script_message_handler(content_, "diaryTest");
        g_signal_handlers_disconnect_by_data(content_, this);
    }
    DiaryRecorder(const DiaryRecorder&) = delete;
    DiaryRecorder& operator=(const DiaryRecorder&) = delete;

    // Wraps the page's function; what it does with the diary stays the page's own.
    bool install() {
        return run(R"(
            const original = window.quilloSetDiary;
            if (typeof original !== 'function') return false;
            window.quilloSetDiary = (diary) => {
                window.webkit.messageHandlers.diaryTest.postMessage(diary);
                return original(diary);
            };
            return true;
        )") == json(true);
    }

    json run(const std::string& body) {
        struct Call {
            bool done = false;
            json result;
        };
        auto call = std::make_shared<Call>();
        webkit_web_view_call_async_javascript_function(
            view_, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Call>> holder(
                    static_cast<std::shared_ptr<Call>*>(data));
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(source), result, &error);
                if (error) g_error_free(error);
                if (value) {
                    gchar* text = jsc_value_to_json(value, 0);
                    if (text) (*holder)->result = json::parse(text, nullptr, false);
                    g_free(text);
                    g_object_unref(value);
                }
                (*holder)->done = true;
            },
            new std::shared_ptr<Call>(call));
        runUntil([&] { return call->done; });
        return call->result;
    }

    bool received(const std::string& sentence) const {
        for (const auto& diary : diaries)
            if (diary.value("content", "").find(sentence) != std::string::npos) return true;
        return false;
    }

    std::vector<json> diaries;

private:
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                          gpointer self) {
        gchar* text = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
        if (text)
            static_cast<DiaryRecorder*>(self)->diaries.push_back(json::parse(text, nullptr, false));
        g_free(text);
    }

    WebKitWebView* view_;
    WebKitUserContentManager* content_;
};

class TodayDiaryEndToEndTest : public ::testing::Test {
protected:
    fs::path todaysFile(std::size_t source) const {
        return TodayDiary::diaryFile(home.path(), TodayDiary::sources[source],
                                     TodayDiary::dayKey(std::chrono::system_clock::now()));
    }
    testing::TempDir home;
};

TEST_F(TodayDiaryEndToEndTest, ADiaryWrittenWhileTheCompanionRunsReachesThePage) {
    writeFile(todaysFile(0), "## 今天做了什么\n启动之前写的。\n");
    TestHomePlatform platform(home.path());
    auto controller = CompanionController::create(platform);
    controller->start();
    ASSERT_TRUE(runUntil([&] { return CompanionControllerProbe::isPageReady(*controller); }));

    auto& webView = static_cast<gtk::GtkWebView&>(CompanionControllerProbe::webView(*controller));
    DiaryRecorder recorder(webView.view());
    ASSERT_TRUE(recorder.install());
    EXPECT_EQ(recorder.run("return document.body.textContent.includes('启动之前写的。')"),
              json(true))
        << "the diary of the page load";

    // The second source's folders do not exist yet: the first diary of the day makes them.
    writeFile(todaysFile(1),
              "## 今天做了什么\n运行之中写的。\n\n## 今天学到了什么\n监视文件夹。\n");
    ASSERT_TRUE(runUntil([&] { return recorder.received("运行之中写的。"); }));
    const json& diary = recorder.diaries.back();
    EXPECT_EQ(diary["source"], "KILN + Tansy工作 · 本地记忆");
    EXPECT_EQ(diary["title"], TodayDiary::displayDate(std::chrono::system_clock::now()));
    EXPECT_EQ(recorder.run("return document.body.textContent.includes('监视文件夹。')"), json(true))
        << "the page shows what it received";
}

// --- The command line

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built executable with only the variables given: no display, no session bus.
CommandResult runCommand(const std::vector<std::string>& arguments, const fs::path& homeFolder) {
    std::vector<gchar*> argv{const_cast<gchar*>(QUILLO_EXECUTABLE)};
    for (const auto& a : arguments) argv.push_back(const_cast<gchar*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string homeVariable = "HOME=" + homeFolder.string();
    const char* tz = g_getenv("TZ");
    const std::string tzVariable = std::string("TZ=") + (tz ? tz : "");
    std::vector<gchar*> envp{const_cast<gchar*>(homeVariable.c_str()),
                             const_cast<gchar*>("PATH=/usr/bin:/bin")};
    if (tz) envp.push_back(const_cast<gchar*>(tzVariable.c_str()));
    envp.push_back(nullptr);

    CommandResult result;
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint wait = 0;
    if (g_spawn_sync(nullptr, argv.data(), envp.data(), G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                     &err, &wait, nullptr)) {
        result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        result.out = out ? out : "";
        result.err = err ? err : "";
    }
    g_free(out);
    g_free(err);
    return result;
}

class DiaryCommandTest : public TodayDiaryEndToEndTest {
protected:
    void SetUp() override {
        dayKey_ = TodayDiary::dayKey(std::chrono::system_clock::now());
        writeFile(todaysFile(0), "## 今天做了什么\n命令行读到了。\n");
        writeFile(todaysFile(1), "## 今天学到了什么\n不需要显示器。\n");
    }
    // A run that straddles midnight reads another day; it says nothing about the command.
    void skipIfTheDayChanged() {
        if (TodayDiary::dayKey(std::chrono::system_clock::now()) != dayKey_)
            GTEST_SKIP() << "the day changed while the command ran";
    }
    std::string dayKey_;
};

TEST_F(DiaryCommandTest, PrintsTodaysMergedDiaryWithoutADisplay) {
    const auto result = runCommand({"diary"}, home.path());
    skipIfTheDayChanged();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "## 今天做了什么\n\n- 命令行读到了。\n\n## 今天学到了什么\n\n- 不需要显示器。\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(DiaryCommandTest, JsonPrintsTheObjectThePageReceives) {
    const auto result = runCommand({"diary", "--json"}, home.path());
    skipIfTheDayChanged();
    EXPECT_EQ(result.status, 0) << result.err;
    const json expected{
        {"title", TodayDiary::displayDate(std::chrono::system_clock::now())},
        {"source", "KILN + Tansy工作 · 本地记忆"},
        {"content",
         "## 今天做了什么\n\n- 命令行读到了。\n\n## 今天学到了什么\n\n- 不需要显示器。"}};
    EXPECT_EQ(result.out, expected.dump() + "\n");
}

TEST_F(DiaryCommandTest, AnEmptyHomePrintsTheBareDiary) {
    testing::TempDir empty;
    const auto result = runCommand({"diary"}, empty.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "## 今天做了什么\n\n\n");
    EXPECT_TRUE(fs::is_empty(empty.path())) << "the command writes nothing";
}

TEST_F(DiaryCommandTest, UnknownArgumentsAreRefusedWithStatusTwo) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"diary", "--yaml"}, {"diary", "--json", "--json"}, {"diary", "today"}}) {
        const auto result = runCommand(arguments, home.path());
        EXPECT_EQ(result.status, 2) << arguments.back();
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(arguments.back()), std::string::npos) << result.err;
    }
}

}  // namespace

}  // namespace quillo
