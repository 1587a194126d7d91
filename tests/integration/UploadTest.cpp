// Uploads through real libcurl to the loopback review server, with the token in the test
// session's keyring: what leaves the companion, and what every kind of answer (or none) becomes.

#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "platform/gtk/CurlHttpClient.h"
#include "platform/gtk/GioServices.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/ReviewServerProcess.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using testing::ReviewServerProcess;
using ::testing::StartsWith;
using namespace std::chrono_literals;

const std::string token = "qlo_live_" + std::string(31, 'u');
const std::string transportFailure = "无法连接 Quillo：";
const std::string success = "<success>";

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

class UploadTest : public ::testing::Test {
protected:
    UploadTest() { storeToken(token); }
    ~UploadTest() override { secrets.remove(QuilloSyncService::defaultService, "agent-token"); }
    void storeToken(const std::string& value) {
        ASSERT_FALSE(secrets.add(QuilloSyncService::defaultService, "agent-token", value));
    }

    // One upload, waited for (the completion comes on curl's worker thread; bounded well above
    // the client's own 15-second limit): the message of its result, or `success`.
    std::string upload(std::optional<std::string> baseURL, const std::string& content = "x",
                       const std::string& date = "2026-12-05") {
        QuilloSyncService service(secrets, http, environment, QuilloSyncService::defaultService,
                                  std::move(baseURL));
        auto result = std::make_shared<std::promise<std::optional<QuilloSyncError>>>();
        auto future = result->get_future();
        service.sync(date, content, [result](auto error) { result->set_value(error); });
        if (future.wait_for(60s) != std::future_status::ready) return "<no completion>";
        const auto error = future.get();
        return error ? error->message : success;
    }

    gtk::LibsecretStore secrets;
    CurlClient http;
    gtk::ProcessEnvironment environment{[] { return std::filesystem::path(); }};
};

TEST_F(UploadTest, EachAnswerBecomesSuccessOrItsMessage) {
    const std::string rejection = R"({"error":"Invalid or insufficient agent token"})";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--status", "204"}, success},
        {{"--status", "200", "--body", "not json"}, success},
        {{"--status", "300"}, "同步失败（300）"},
        {{"--status", "401"}, "同步失败（401）"},
        {{"--status", "403", "--body", rejection}, "连接令牌无效或已撤销"},
        {{"--status", "422", "--body", R"({"error":""})"}, ""},
        {{"--status", "502", "--body", "<html>Bad Gateway</html>"}, "同步失败（502）"},
        // Past what the client keeps of a body: cut, the detail is no JSON any more.
        {{"--status", "500", "--body", R"({"error":")" + std::string(70000, 'x') + R"("})"},
         "同步失败（500）"},
    };
    for (const auto& [flags, expected] : rows) {
        ReviewServerProcess server(flags, {token});
        EXPECT_EQ(upload(server.url()), expected) << ::testing::PrintToString(flags);
    }
}

// "localhost" is another host name than "127.0.0.1" to curl, and another port is another origin.
TEST_F(UploadTest, RedirectsAreFollowedButTheTokenIsNotSentOnToAnotherHostOrPort) {
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

TEST_F(UploadTest, NoAnswerIsAConnectionFailureSaidInTheUsersWords) {
    // How the server fails to answer, and what the user reads after "无法连接 Quillo：".
    const std::vector<std::pair<std::string, std::string>> rows{
        {"--stall", "请求超时"},
        {"--drop", "连接被中断"},
        {"gone", "服务器拒绝了连接"},
        {"no TLS", "无法建立安全连接"},
        {"redirects to itself", "重定向次数过多"},
    };
    for (const auto& [how, words] : rows) {
        std::vector<std::string> flags;
        if (how.starts_with("--")) flags = {how};
        if (how == "redirects to itself") flags = {"--redirect", "/api/agent/reviews"};
        ReviewServerProcess server(flags, {token});
        if (how == "gone") server.stop();
        http.limit = how == "--stall" ? std::optional(300ms) : std::nullopt;
        const auto url = server.url();
        EXPECT_EQ(upload(how == "no TLS" ? "https" + url.substr(4) : url), transportFailure + words)
            << how;
    }
}

// Stored by something other than the companion, which refuses such a token.
TEST_F(UploadTest, ATokenWithALineBreakIsNeverWrittenIntoTheRequest) {
    storeToken(token + "\r\nX-Injected: yes");
    ReviewServerProcess server({}, {token});
    EXPECT_THAT(upload(server.url()), StartsWith(transportFailure));
    EXPECT_TRUE(server.received().empty());
}

}  // namespace
}  // namespace quillo
