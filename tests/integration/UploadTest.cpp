// Uploads through real libcurl to the loopback review server: what leaves the companion, and what
// every kind of answer (or no answer) becomes.

#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>

#include "platform/gtk/CurlHttpClient.h"
#include "platform/gtk/GioServices.h"
#include "support/ReviewServerProcess.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using ::testing::HasSubstr;
using testing::ReviewServerProcess;
using ::testing::StartsWith;
using Json = nlohmann::json;
using namespace std::chrono_literals;

const std::string token = "qlo_live_" + std::string(31, 'u');
const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

class MemorySecretStore : public SecretStore {
public:
    std::optional<std::string> find(const std::string& service,
                                    const std::string& account) override {
        const auto it = items.find({service, account});
        return it == items.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<int> add(const std::string& service, const std::string& account,
                           const std::string& secret) override {
        items[{service, account}] = secret;
        return std::nullopt;
    }
    void remove(const std::string& service, const std::string& account) override {
        items.erase({service, account});
    }
    std::map<std::pair<std::string, std::string>, std::string> items;
};

// The real client with the time limit cut short, so a server that never answers fails the
// upload within a test's patience. It remembers the limit the service asked for.
class ShortTimeoutClient : public HttpClient {
public:
    explicit ShortTimeoutClient(std::chrono::milliseconds limit) : limit_(limit) {}
    void send(HttpRequest request, std::function<void(HttpResponse)> completion) override {
        asked.push_back(request.timeout);
        request.timeout = limit_;
        real_.send(std::move(request), std::move(completion));
    }
    std::vector<std::chrono::milliseconds> asked;

private:
    std::chrono::milliseconds limit_;
    gtk::CurlHttpClient real_;
};

struct Outcome {
    bool completed = false;
    std::optional<QuilloSyncError> error;
};

class UploadTest : public ::testing::Test {
protected:
    UploadTest() { secrets.items[{QuilloSyncService::defaultService, "agent-token"}] = token; }

    // One upload, waited for (the completion comes on curl's worker thread); bounded well above
    // the client's own 15-second limit.
    Outcome upload(const std::string& baseURL, const std::string& content = "## 今天做了什么\n\n",
                   const std::string& date = "2026-12-05", HttpClient* client = nullptr) {
        QuilloSyncService service(secrets, client ? *client : curl, environment,
                                  QuilloSyncService::defaultService, baseURL);
        return waitFor(service, date, content);
    }

    static Outcome waitFor(QuilloSyncService& service, const std::string& date,
                           const std::string& content) {
        auto result = std::make_shared<std::promise<std::optional<QuilloSyncError>>>();
        auto future = result->get_future();
        service.sync(date, content,
                     [result](std::optional<QuilloSyncError> error) { result->set_value(error); });
        if (future.wait_for(60s) != std::future_status::ready) return {};
        return {true, future.get()};
    }

    // What the server was sent as the review's content.
    static std::string sentContent(const ReviewServerProcess& server) {
        const auto received = server.received();
        if (received.empty()) return "<nothing received>";
        const auto review = Json::parse(received.back()["body"].get<std::string>());
        return review["content"].get<std::string>();
    }

    MemorySecretStore secrets;
    gtk::CurlHttpClient curl;
    gtk::ProcessEnvironment environment{[] { return std::filesystem::path(); }};
};

// --- What is sent

TEST_F(UploadTest, AnAcceptedReviewIsSuccessAndArrivesExactlyAsBuilt) {
    ReviewServerProcess server({}, {token});
    const auto outcome = upload(server.url(), "  ## 今天做了什么\n\n- 写测试。\n", "2026-12-05");
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, std::nullopt);
    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0]["path"], "/api/agent/reviews");
    EXPECT_EQ(received[0]["authorization"], "accepted");
    EXPECT_EQ(received[0]["accept"], "application/json");
    EXPECT_EQ(received[0]["contentType"], "application/json");
    EXPECT_EQ(received[0]["body"],
              R"({"reviewDate":"2026-12-05","content":"  ## 今天做了什么\n\n- 写测试。\n",)"
              R"("sourceEventIds":[],"status":"draft"})");
}

class BasePathTest : public UploadTest,
                     public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(BasePathTest, TheEndpointHangsUnderTheBasePathWithOrWithoutATrailingSlash) {
    ReviewServerProcess server({}, {token});
    const auto outcome = upload(server.url(GetParam().first));
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, std::nullopt);
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0]["path"], GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Bases, BasePathTest,
                         ::testing::Values(std::pair{"", "/api/agent/reviews"},
                                           std::pair{"/", "/api/agent/reviews"},
                                           std::pair{"/quillo", "/quillo/api/agent/reviews"},
                                           std::pair{"/quillo/", "/quillo/api/agent/reviews"}));

TEST_F(UploadTest, TheAddressFromTheEnvironmentIsWhereTheReviewGoes) {
    ReviewServerProcess server({}, {token});
    g_setenv("QUILLO_API_URL", server.url("/v1/").c_str(), TRUE);
    QuilloSyncService service(secrets, curl, environment);
    g_unsetenv("QUILLO_API_URL");
    const auto outcome = waitFor(service, "2026-12-05", "x");
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, std::nullopt);
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0]["path"], "/v1/api/agent/reviews");
}

struct CutCase {
    const char* name;
    std::string content;
    std::string sent;
};

class ContentCutTest : public UploadTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(ContentCutTest, TheContentArrivesCutAtTwelveThousandCharactersNeverInsideOne) {
    ReviewServerProcess server({}, {token});
    ASSERT_TRUE(upload(server.url(), GetParam().content).completed);
    const auto sent = sentContent(server);
    EXPECT_TRUE(sent == GetParam().sent) << "sent " << sent.size() << " bytes ending in \""
                                         << sent.substr(sent.size() > 40 ? sent.size() - 40 : 0)
                                         << "\", expected " << GetParam().sent.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ContentCutTest,
    ::testing::Values(CutCase{"ClusterEndingAtTheCut", std::string(11999, 'a') + family + "tail",
                              std::string(11999, 'a') + family},
                      CutCase{"ClusterStartingAfterTheCut", std::string(11999, 'a') + "b" + family,
                              std::string(11999, 'a') + "b"},
                      CutCase{"ChineseText", repeated("记", 20000), repeated("记", 12000)}),
    [](const auto& info) { return std::string(info.param.name); });

// --- What comes back

struct AnswerCase {
    const char* name;
    std::vector<std::string> serverFlags;
    std::string date;
    std::optional<std::string> failure;  // nothing: success
};

class AnswerTest : public UploadTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, EachAnswerBecomesSuccessOrItsMessage) {
    ReviewServerProcess server(GetParam().serverFlags, {token});
    const auto outcome = upload(server.url(), "## 今天做了什么\n\n", GetParam().date);
    ASSERT_TRUE(outcome.completed);
    if (GetParam().failure) {
        EXPECT_EQ(outcome.error, QuilloSyncError{*GetParam().failure});
    } else {
        EXPECT_EQ(outcome.error, std::nullopt);
    }
}

const std::string tokenRejection = R"({"error":"Invalid or insufficient agent token"})";

INSTANTIATE_TEST_SUITE_P(
    Rows, AnswerTest,
    ::testing::Values(
        AnswerCase{
            "MalformedReview", {}, "05.12.2026", "reviewDate must be a date written yyyy-MM-dd"},
        AnswerCase{"NoContent", {"--status", "204"}, "2026-12-05", std::nullopt},
        AnswerCase{
            "OkWithAnyBody", {"--status", "200", "--body", "not json"}, "2026-12-05", std::nullopt},
        AnswerCase{"ServerErrorWithoutBody", {"--status", "500"}, "2026-12-05", "同步失败（500）"},
        AnswerCase{"HtmlErrorPage",
                   {"--status", "502", "--body", "<html>Bad Gateway</html>"},
                   "2026-12-05",
                   "同步失败（502）"},
        AnswerCase{"ForbiddenWithTheTokenText",
                   {"--status", "403", "--body", tokenRejection},
                   "2026-12-05",
                   "连接令牌无效或已撤销"},
        AnswerCase{
            "EmptyReason", {"--status", "422", "--body", R"({"error":""})"}, "2026-12-05", ""},
        AnswerCase{"ReasonThatIsNotAString",
                   {"--status", "422", "--body", R"({"error":7})"},
                   "2026-12-05",
                   "同步失败（422）"},
        AnswerCase{
            "MultipleChoicesIsNoSuccess", {"--status", "300"}, "2026-12-05", "同步失败（300）"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadTest, AnUnknownTokenIsReportedAsInvalidOrRevoked) {
    ReviewServerProcess server({}, {"qlo_live_" + std::string(31, 'z')});
    const auto outcome = upload(server.url());
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, QuilloSyncError{"连接令牌无效或已撤销"});
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0]["authorization"], "rejected");
}

// --- Redirects

TEST_F(UploadTest, ARedirectOnTheSameServerIsFollowedWithTheToken) {
    ReviewServerProcess server({"--redirect", "/moved/api/agent/reviews"}, {token});
    const auto outcome = upload(server.url());
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, std::nullopt);
    const auto received = server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1]["path"], "/moved/api/agent/reviews");
    EXPECT_EQ(received[1]["authorization"], "accepted");
    EXPECT_EQ(received[1]["body"], received[0]["body"]) << "a 307 sends the review again";
}

class ForeignRedirectTest : public UploadTest, public ::testing::WithParamInterface<std::string> {};

// "localhost" is another host name than "127.0.0.1" to curl, and another port is another origin.
TEST_P(ForeignRedirectTest, TheTokenIsNotSentOnToAnotherHostOrPort) {
    ReviewServerProcess elsewhere({}, {token});
    ReviewServerProcess server({"--redirect", elsewhere.url("/api/agent/reviews", GetParam())},
                               {token});
    const auto outcome = upload(server.url());
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.error, QuilloSyncError{"连接令牌无效或已撤销"});
    const auto received = elsewhere.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0]["authorization"], "absent");
}

INSTANTIATE_TEST_SUITE_P(Hosts, ForeignRedirectTest, ::testing::Values("localhost", "127.0.0.1"));

// --- No answer

TEST_F(UploadTest, AServerThatNeverAnswersEndsInATimeout) {
    ReviewServerProcess server({"--stall"}, {token});
    ShortTimeoutClient client(300ms);
    const auto outcome = upload(server.url(), "x", "2026-12-05", &client);
    ASSERT_TRUE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(outcome.error->message, StartsWith("无法连接 Quillo："));
    EXPECT_THAT(outcome.error->message, HasSubstr("timed out"));
    EXPECT_THAT(client.asked, ::testing::ElementsAre(15s));
}

TEST_F(UploadTest, ARefusedConnectionIsReportedWithCurlsReason) {
    std::string address;
    {
        ReviewServerProcess gone;
        address = gone.url();
    }
    const auto outcome = upload(address);
    ASSERT_TRUE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(outcome.error->message, StartsWith("无法连接 Quillo："));
    EXPECT_THAT(outcome.error->message, HasSubstr("onnect"));
}

TEST_F(UploadTest, AConnectionDroppedMidAnswerIsATransportFailure) {
    ReviewServerProcess server({"--drop"}, {token});
    const auto outcome = upload(server.url());
    ASSERT_TRUE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(outcome.error->message, StartsWith("无法连接 Quillo："));
}

TEST_F(UploadTest, ATokenWithALineBreakIsNeverWrittenIntoTheRequest) {
    // Stored by something other than the companion, which refuses such a token.
    secrets.items[{QuilloSyncService::defaultService, "agent-token"}] =
        token + "\r\nX-Injected: yes";
    ReviewServerProcess server({}, {token});
    const auto outcome = upload(server.url());
    ASSERT_TRUE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(outcome.error->message, StartsWith("无法连接 Quillo："));
    EXPECT_TRUE(server.received().empty());
}

}  // namespace
}  // namespace quillo
