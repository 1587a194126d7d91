// Sync on real parts: the token in the throwaway GNOME Keyring that tests/with-desktop-session.sh
// starts, uploads through real libcurl to the loopback review server, and `quillo-companion diary`,
// `sync` and `disconnect` as a person runs them (the built executable without a display, over a
// home made for the test).

#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <sstream>

#include "diary/TodayDiary.h"
#include "platform/gtk/CurlHttpClient.h"
#include "platform/gtk/GioServices.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/Command.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"
#include "sync/QuilloSyncService.h"

namespace quillo {
namespace {

using testing::ReviewServerProcess;
using namespace std::chrono_literals;
using std::chrono::system_clock;
using CommandRun = testing::CommandOutcome;
using nlohmann::json;

const std::string token = "qlo_live_" + std::string(31, 'u');
const std::string otherToken = "qlo_live_" + std::string(40, 'b');
const std::string transportFailure = "无法连接 Quillo：";
const std::string success = "<success>";
const std::string tokenAttributes =
    "service " + std::string(QuilloSyncService::defaultService) + " account agent-token";

// The real client, whose time limit a test may cut short so that a server that never answers
// fails the upload within the test's patience.
struct CurlClient : HttpClient {
    void send(HttpRequest request, std::function<void(HttpResponse)> completion) override {
        if (limit) request.timeout = *limit;
        real.send(std::move(request), std::move(completion));
    }
    std::optional<std::chrono::milliseconds> limit;
    gtk::CurlHttpClient real;
};

// Another program's view of the keyring: `secret-tool` on the token's attributes alone.
CommandRun secretTool(const std::string& arguments, const std::string& input = "") {
    return testing::run(
        {"sh", "-c", "printf %s \"$0\" | secret-tool " + arguments + " " + tokenAttributes, input});
}

// The label of each item the keyring holds for the token.
std::vector<std::string> storedItems() {
    std::vector<std::string> labels;
    std::istringstream lines(secretTool("search --all").out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("label = ")) labels.push_back(line.substr(8));
    return labels;
}

class SyncTest : public ::testing::Test {
protected:
    SyncTest() { service.deleteToken(); }
    ~SyncTest() override { service.deleteToken(); }
    void storeToken(const std::string& value = token) {
        ASSERT_FALSE(secrets.add(QuilloSyncService::defaultService, "agent-token", value));
    }

    // One upload, waited for (the completion comes on curl's worker thread; bounded well above
    // the client's own 15-second limit): the message of its result, or `success`.
    std::string upload(std::optional<std::string> baseURL) {
        QuilloSyncService service(secrets, http, environment, QuilloSyncService::defaultService,
                                  std::move(baseURL));
        auto result = std::make_shared<std::promise<std::optional<QuilloSyncError>>>();
        auto future = result->get_future();
        service.sync("2026-12-05", "x", [result](auto error) { result->set_value(error); });
        if (future.wait_for(60s) != std::future_status::ready) return "<no completion>";
        const auto error = future.get();
        return error ? error->message : success;
    }

    // The executable with these space-separated arguments, without a display, in the test's home,
    // with a few more variables ("NAME=value", or "NAME=" to empty one).
    CommandRun run(const std::string& arguments, std::vector<std::string> variables = {}) {
        std::vector<std::string> argv{QUILLO_EXECUTABLE};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) argv.push_back(word);
        variables.insert(variables.end(),
                         {"DISPLAY=", "WAYLAND_DISPLAY=", "HOME=" + home.path().string()});
        return testing::run(argv, variables);
    }
    CommandRun runSync(const std::string& apiURL) {
        return run("sync", {"QUILLO_API_URL=" + apiURL});
    }
    void writeDiary(std::size_t source, const std::string& text) {
        testing::writeFile(TodayDiary::diaryFile(home.path(), TodayDiary::sources[source], today()),
                           text);
    }
    static std::string today() { return TodayDiary::dayKey(system_clock::now()); }

    gtk::LibsecretStore secrets;
    CurlClient http;
    gtk::ProcessEnvironment environment{[] { return std::filesystem::path(); }};
    QuilloSyncService service{secrets, http, environment};
    testing::TempDir home;
};

TEST_F(SyncTest, ASavedTokenReplacesWhateverItemHeldThePairAndADeletionAnywhereIsSeen) {
    ASSERT_EQ(secretTool("store --label=elsewhere", token).status, 0);
    EXPECT_TRUE(service.token() == token);  // a failure prints no token
    EXPECT_EQ(service.saveToken("  " + otherToken + "\n"), std::nullopt);
    EXPECT_TRUE(service.token() == otherToken);
    EXPECT_EQ(storedItems(), std::vector<std::string>{"Quillo agent token"});
    service.deleteToken();
    EXPECT_TRUE(storedItems().empty());
    service.deleteToken();  // harmless when repeated
    ASSERT_EQ(service.saveToken(token), std::nullopt);
    ASSERT_EQ(secretTool("clear").status, 0);
    EXPECT_FALSE(service.isConnected());
}

// A save without a Secret Service names the failure instead of passing for a success. In a fresh
// process: libsecret keeps its connection to the bus for the life of the process.
TEST(SecretStoreWithoutServiceTest, NothingIsConnectedAndASaveFailsWithTheStoresStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillo-bus", TRUE);
            gtk::LibsecretStore store;
            gtk::CurlHttpClient http;
            gtk::ProcessEnvironment environment([] { return std::filesystem::path(); });
            QuilloSyncService service(store, http, environment);
            const bool connectedBefore = service.isConnected();
            const auto error = service.saveToken(token);
            std::fprintf(stderr, "%s\n", error ? error->message.c_str() : "saved");
            std::exit(connectedBefore || service.isConnected() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "^钥匙串保存失败（-?[0-9]+）\n$");
}

// "localhost" is another host name than "127.0.0.1" to curl, and another port is another origin.
TEST_F(SyncTest, RedirectsAreFollowedButTheTokenIsNotSentOnToAnotherHostOrPort) {
    storeToken();
    ReviewServerProcess server({"--redirect", "/moved/api/agent/reviews"}, {token});
    EXPECT_EQ(upload(server.url()), success);
    const auto received = server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1]["path"], "/moved/api/agent/reviews");
    EXPECT_EQ(received[1]["authorization"], "accepted");
    EXPECT_EQ(received[1]["body"], received[0]["body"]) << "a 307 sends the review again";
    for (const char* host : {"localhost", "127.0.0.1"}) {
        ReviewServerProcess elsewhere({}, {token});
        ReviewServerProcess redirecting({"--redirect", elsewhere.url("/api/agent/reviews", host)},
                                        {token});
        EXPECT_EQ(upload(redirecting.url()), "连接令牌无效或已撤销") << host;
        EXPECT_EQ(elsewhere.received().at(0)["authorization"], "absent") << host;
    }
}

// Every kind of answer, or none, in one table; "gone" and "https" are no flags of the server's but
// what the test does to it. Then a token that would inject a header, which the companion refuses
// to save but something else may have stored.
TEST_F(SyncTest, EachAnswerOrNoneBecomesSuccessOrAMessageAndABrokenTokenIsNeverSent) {
    storeToken();
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--status", "204"}, success},
        {{"--status", "300"}, "同步失败（300）"},
        {{"--status", "403", "--body", R"({"error":"Invalid or insufficient agent token"})"},
         "连接令牌无效或已撤销"},
        // Past what the client keeps of a body: cut, the detail is no JSON any more.
        {{"--status", "500", "--body", R"({"error":")" + std::string(70000, 'x') + R"("})"},
         "同步失败（500）"},
        {{"--stall"}, transportFailure + "请求超时"},
        {{"--drop"}, transportFailure + "连接被中断"},
        {{"--redirect", "/api/agent/reviews"}, transportFailure + "重定向次数过多"},
        {{"gone"}, transportFailure + "服务器拒绝了连接"},
        {{"https"}, transportFailure + "无法建立安全连接"},
    };
    for (const auto& [flags, expected] : rows) {
        const bool gone = flags[0] == "gone", https = flags[0] == "https";
        ReviewServerProcess server(gone || https ? std::vector<std::string>{} : flags, {token});
        if (gone) server.stop();
        http.limit = flags[0] == "--stall" ? std::optional(300ms) : std::nullopt;
        EXPECT_EQ(upload((https ? "https" : "http") + server.url().substr(4)), expected)
            << ::testing::PrintToString(flags);
    }
    // Stored by something other than the companion, which refuses such a token.
    storeToken(token + "\r\nX-Injected: yes");
    ReviewServerProcess server({}, {token});
    EXPECT_THAT(upload(server.url()), ::testing::StartsWith(transportFailure));
    EXPECT_TRUE(server.received().empty()) << "no header injected";
}

// Neither a display nor a session bus: the diary is the files' alone.
TEST_F(SyncTest, DiaryCommandPrintsTodaysMergedDiaryOrWithJsonThePagesObject) {
    const std::vector<std::string> noBus{"DBUS_SESSION_BUS_ADDRESS="};
    EXPECT_EQ(run("diary", noBus), CommandRun(0, "## 今天做了什么\n\n\n", ""));
    EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "the command writes nothing";
    for (const char* refused :
         {"diary --yaml", "diary --json --json", "diary today", "sync now", "disconnect now"})
        EXPECT_EQ(run(refused, noBus).status, 2) << refused;

    const auto day = system_clock::now();
    writeDiary(0, "## 今天做了什么\n命令行读到了。\n");
    writeDiary(1, "## 今天学到了什么\n不需要显示器。\n");
    const auto text = run("diary", noBus);
    const auto object = run("diary --json", noBus);
    // A run that straddles midnight reads another day; it says nothing about the command.
    if (TodayDiary::dayKey(system_clock::now()) != TodayDiary::dayKey(day))
        GTEST_SKIP() << "the day changed while the command ran";
    const std::string content =
        "## 今天做了什么\n\n- 命令行读到了。\n\n## 今天学到了什么\n\n- 不需要显示器。";
    EXPECT_EQ(text, CommandRun(0, content + "\n", ""));
    const json page{{"title", TodayDiary::displayDate(day)},
                    {"source", "KILN + Tansy工作 · 本地记忆"},
                    {"content", content}};
    EXPECT_EQ(object.out, page.dump() + "\n");
}

// Each failure alone on standard error with status 1: only the message, so the token never is.
TEST_F(SyncTest, SyncCommandUploadsTodaysDiaryOrSaysWhyNotUntilDisconnected) {
    ReviewServerProcess server({}, {token});
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    storeToken();
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "今天还没有可同步的内容\n"));
    writeDiary(0, "## 今天做了什么\n写了同步命令。\n");
    const auto mistyped = server.url().substr(std::string("http://").size()) + "/api";
    EXPECT_EQ(runSync(mistyped),
              CommandRun(1, "", "QUILLO_API_URL 不是完整的 http(s) 地址：“" + mistyped + "”\n"));
    EXPECT_TRUE(server.received().empty());

    EXPECT_EQ(runSync(server.url()), CommandRun(0, "今天的记忆已同步\n", ""));
    const std::string review = R"({"reviewDate":")" + today() +
                               R"(","content":"## 今天做了什么\n\n- 写了同步命令。",)"
                               R"("sourceEventIds":[],"status":"draft"})";
    EXPECT_EQ(server.received(), json::array({{{"path", "/api/agent/reviews"},
                                               {"authorization", "accepted"},
                                               {"accept", "application/json"},
                                               {"contentType", "application/json"},
                                               {"body", review},
                                               {"status", 201}}}));
    EXPECT_EQ(run("disconnect"), CommandRun(0, "已断开，日记仍保存在本机\n", ""));
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    storeToken(otherToken);
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "连接令牌无效或已撤销\n"));
    const auto help = testing::run({QUILLO_REVIEW_SERVER, "--help"});
    EXPECT_TRUE(help.status == 0 && help.out.starts_with("usage: quillo-review-server")) << help;
}

}  // namespace
}  // namespace quillo
