#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/FakePlatform.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using namespace std::chrono_literals;

using Text = std::optional<std::string>;
const Text none;
const std::pair<std::string, std::string> tokenItem{"app.quillo.companion", "agent-token"};
const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
const std::string k15(15, 'k');

// "qlo_live_" followed by letters, `length` characters in all.
std::string tokenOfLength(std::size_t length) { return "qlo_live_" + std::string(length - 9, 'k'); }

std::optional<QuilloSyncError> failure(const Text& message) {
    return message ? std::optional(QuilloSyncError{*message}) : std::nullopt;
}

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

class QuilloSyncServiceTest : public ::testing::Test {
protected:
    QuilloSyncService makeService(Text baseURL = none) {
        return QuilloSyncService(secrets, http, environment, QuilloSyncService::defaultService,
                                 std::move(baseURL));
    }

    // Starts one upload and returns the results the completion has received so far.
    std::vector<std::optional<QuilloSyncError>> sync(const std::string& date,
                                                     const std::string& content,
                                                     Text baseURL = none) {
        auto results = std::make_shared<std::vector<std::optional<QuilloSyncError>>>();
        makeService(std::move(baseURL)).sync(date, content, [results](auto result) {
            results->push_back(result);
        });
        completions.push_back(results);
        return *results;
    }

    // The one request an upload sent.
    HttpRequest upload(const std::string& content, Text baseURL = none) {
        secrets.items[tokenItem] = tokenOfLength(40);
        http.requests.clear();
        sync("2026-12-06", content, std::move(baseURL));
        EXPECT_EQ(http.requests.size(), 1u);
        return http.requests.empty() ? HttpRequest{} : http.requests.back();
    }

    testing::FakeMainLoop loop;
    testing::FakeEnvironment environment{loop};
    testing::FakeSecretStore secrets;
    testing::FakeHttpClient http;
    std::vector<std::shared_ptr<std::vector<std::optional<QuilloSyncError>>>> completions;
};

TEST_F(QuilloSyncServiceTest, APastedTokenIsTrimmedThenValidatedByPrefixAndCharacterCount) {
    const std::string refused = "令牌格式不正确";
    // What was pasted, and the token stored or why it was refused (the earlier token stays).
    const std::vector<std::pair<std::string, std::string>> rows{
        {"\t\u3000 " + tokenOfLength(40) + "\r\n\u00a0", tokenOfLength(40)},
        {"    " + tokenOfLength(39) + "    ", refused},
        {"QLO_LIVE_" + std::string(40, 'k'), refused},
        {"token: " + tokenOfLength(40), refused},
        {"qlo_live_" + k15 + " \t" + k15.substr(1), "qlo_live_" + k15 + " \t" + k15.substr(1)},
        // A line break would break the Authorization header apart.
        {"qlo_live_" + k15 + "\r\n" + k15, refused},
        // 31 characters of three bytes each: 40 characters, 102 bytes.
        {"qlo_live_" + repeated("令", 31), "qlo_live_" + repeated("令", 31)},
        // 30 letters with a combining accent each: 39 characters from 69 code points.
        {"qlo_live_" + repeated("e\u0301", 30), refused},
        {tokenOfLength(40) + "\xC3\x28", "无法保存连接令牌"},
    };
    for (const auto& [pasted, outcome] : rows) {
        secrets.items = {{tokenItem, tokenOfLength(45)}};
        const bool saved = outcome.starts_with("qlo_live_");
        SCOPED_TRACE(std::to_string(pasted.size()) + " bytes pasted");  // never a token
        EXPECT_EQ(makeService().saveToken(pasted), failure(saved ? none : Text(outcome)));
        EXPECT_EQ(secrets.items.size(), 1u);
        EXPECT_TRUE(makeService().token() == (saved ? outcome : tokenOfLength(45)));
    }
    // A store status of 0 on a failed add is still a failure: only an add that reports nothing
    // stored the token.
    for (const int status : {-1, 0, -25299}) {
        secrets.items[tokenItem] = tokenOfLength(45);
        secrets.failAddWith = status;
        EXPECT_EQ(makeService().saveToken(tokenOfLength(40)),
                  QuilloSyncError{"钥匙串保存失败（" + std::to_string(status) + "）"});
        EXPECT_FALSE(makeService().isConnected()) << status;
    }
}

TEST_F(QuilloSyncServiceTest, OnlyANonEmptyUtf8ItemCountsAsConnectedAndItIsReadAsItIs) {
    const std::vector<std::pair<Text, bool>> rows{
        {none, false}, {"", false}, {"qlo_live_\xED\xA0\x80", false}, {" x ", true}};
    for (const auto& [item, connected] : rows) {
        secrets.items.clear();
        if (item) secrets.items[tokenItem] = *item;
        EXPECT_EQ(makeService().isConnected(), connected) << item.value_or("<missing>");
        EXPECT_TRUE(makeService().token() == (connected ? item : none));
    }
}

TEST_F(QuilloSyncServiceTest, TheReviewIsPostedWithThreeHeadersItsContentCutNeverInsideACharacter) {
    const auto request = upload("  内容 \n");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.timeout, 15s);
    EXPECT_THAT(request.headers, ElementsAre(Pair("Accept", "application/json"),
                                             Pair("Content-Type", "application/json"),
                                             Pair("Authorization", "Bearer " + tokenOfLength(40))));
    EXPECT_EQ(
        request.body,
        R"({"reviewDate":"2026-12-06","content":"  内容 \n","sourceEventIds":[],"status":"draft"})");
    // At most twelve thousand characters.
    const std::string a11999(11999, 'a');
    const std::vector<std::pair<std::string, std::string>> rows{
        {std::string(12000, 'a'), std::string(12000, 'a')},
        {std::string(12001, 'a'), std::string(12000, 'a')},
        {repeated("记", 12005), repeated("记", 12000)},
        {a11999 + "b" + family, a11999 + "b"},
        {repeated("\r\n", 12001), repeated("\r\n", 12000)},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto body = nlohmann::json::parse(upload(rows[i].first).body);
        EXPECT_TRUE(body.at("content").get<std::string>() == rows[i].second) << "row " << i;
    }
}

TEST_F(QuilloSyncServiceTest, TheReviewGoesToTheArgumentElseAnHttpVariableElseTheDefault) {
    const std::string fallback = "https://quillo.app/api/agent/reviews";
    const auto mistyped = [](const std::string& value) {
        return "QUILLO_API_URL 不是完整的 http(s) 地址：“" + value + "”";
    };
    // The variable, the argument, and where the review goes or, when nothing is sent, why.
    const std::vector<std::tuple<Text, Text, std::string>> rows{
        {none, none, fallback},
        {"", none, fallback},
        {"localhost\xFF:8787", none, mistyped("localhost\uFFFD:8787")},
        {"https:///path", none, mistyped("https:///path")},
        {"http://:8080", none, mistyped("http://:8080")},
        {" https://h.test", none, mistyped(" https://h.test")},
        {"https://h.test/a b", none, mistyped("https://h.test/a b")},
        {"ftp://h.test", none, mistyped("ftp://h.test")},
        {"HTTP://h.test/q/", none, "HTTP://h.test/q/api/agent/reviews"},
        {"http://[::1]:9000", none, "http://[::1]:9000/api/agent/reviews"},
        {"https://h.test/p?x=/y", none, "https://h.test/p/api/agent/reviews"},
        {"https://h.test?x=1", none, "https://h.test/api/agent/reviews"},
        {"https://h.test/p#top", none, "https://h.test/p/api/agent/reviews"},
        {"https://me@h.test:444", none, "https://me@h.test:444/api/agent/reviews"},
        {"localhost:8787", "https://arg.test", "https://arg.test/api/agent/reviews"},
    };
    secrets.items[tokenItem] = tokenOfLength(40);
    for (const auto& [variable, argument, destination] : rows) {
        SCOPED_TRACE(variable.value_or("<unset>"));
        environment.variables.erase("QUILLO_API_URL");
        if (variable) environment.variables["QUILLO_API_URL"] = *variable;
        http.requests.clear();
        const auto results = sync("2026-12-06", "x", argument);
        EXPECT_EQ(http.requests.empty() ? results.at(0)->message : http.requests.at(0).url,
                  destination);
    }
}

// Local failures arrive before sync returns and send nothing; a response's outcome only once it
// arrives. The responses are those a real server cannot produce and the failure kinds loopback
// cannot bring about; the others are tried through curl.
TEST_F(QuilloSyncServiceTest, EveryOutcomeBecomesSuccessOrOneMessage) {
    EXPECT_THAT(sync("2026-05-01", "x"), ElementsAre(QuilloSyncError{"尚未连接 Quillo"}));
    secrets.items[tokenItem] = tokenOfLength(40);
    EXPECT_THAT(sync("2026-05-01", "a\xFF"), ElementsAre(QuilloSyncError{"无法生成同步内容"}));
    EXPECT_THAT(sync("2026-05-\xC0", "x"), ElementsAre(QuilloSyncError{"无法生成同步内容"}));
    EXPECT_TRUE(http.requests.empty());
    using enum TransportFailure;
    const std::vector<std::pair<HttpResponse, Text>> rows{
        {{"No such host", std::nullopt, "", hostNotFound}, "无法连接 Quillo：找不到服务器"},
        {{"Send", std::nullopt, "", sendFailed}, "无法连接 Quillo：发送数据失败"},
        {{"Receive", std::nullopt, "", receiveFailed}, "无法连接 Quillo：接收数据失败"},
        {{"Timeout was reached", 200, ""}, "无法连接 Quillo：Timeout was reached"},
        {{"bad host \xFF", std::nullopt, ""}, "无法连接 Quillo：bad host \uFFFD"},
        {{none, std::nullopt, ""}, "同步响应无效"},
        {{none, 299, ""}, none},
        {{none, 199, ""}, "同步失败（199）"},
        {{none, 500, R"({"message":"boom"})"}, "同步失败（500）"},
    };
    for (const auto& [response, message] : rows) {
        SCOPED_TRACE(message.value_or("success"));
        EXPECT_THAT(sync("2026-05-01", "x"), ::testing::IsEmpty());
        http.completeNext(response);  // the service is gone by now: the completion outlives it
        EXPECT_THAT(*completions.back(), ElementsAre(failure(message)));
    }
}

TEST(ErrorDetail, OnlyAStringMemberNamedErrorOfAnObjectIsUsed) {
    const std::vector<std::pair<Text, Text>> rows{
        {none, none},
        {R"({"error":"x"} and more)", none},
        {"401", none},
        {R"({"error":{"message":"x"}})", none},
        {R"({"message":"x","detail":"y"})", none},
        {"{\"error\":\"\xFF\"}", none},
        {R"({"error":"Invalid or insufficient agent token"})", "连接令牌无效或已撤销"},
        {R"({"error":"invalid or insufficient agent token"})",
         "invalid or insufficient agent token"},
        {R"({"error":"a\nb \u00e9","code":7})", "a\nb é"},
        {R"({"error":""})", ""},
    };
    for (const auto& [data, detail] : rows)
        EXPECT_EQ(QuilloSyncService::errorDetail(data), detail) << data.value_or("<no data>");
}

}  // namespace
}  // namespace quillo
