#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/FakePlatform.h"
#include "support/SecretText.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using testing::sameSecret;
using namespace std::chrono_literals;

const std::pair<std::string, std::string> tokenItem{"app.quillo.companion", "agent-token"};

// "qlo_live_" followed by letters, `length` characters in all.
std::string tokenOfLength(std::size_t length) { return "qlo_live_" + std::string(length - 9, 'k'); }

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

class QuilloSyncServiceTest : public ::testing::Test {
protected:
    QuilloSyncService makeService(std::optional<std::string> baseURL = std::nullopt) {
        return QuilloSyncService(secrets, http, environment, QuilloSyncService::defaultService,
                                 std::move(baseURL));
    }

    testing::FakeMainLoop loop;
    testing::FakeEnvironment environment{loop};
    testing::FakeSecretStore secrets;
    testing::FakeHttpClient http;
};

// --- Construction

TEST_F(QuilloSyncServiceTest, DefaultsNameTheTokenItemAndTheService) {
    auto service = makeService();
    EXPECT_EQ(service.service(), "app.quillo.companion");
    EXPECT_EQ(service.account(), "agent-token");
    EXPECT_EQ(service.baseURL(), "https://quillo.app");
}

struct BaseAddressCase {
    const char* name;
    std::optional<std::string> variable;
    std::optional<std::string> argument;
    std::string expected;
};

class BaseAddressTest : public QuilloSyncServiceTest,
                        public ::testing::WithParamInterface<BaseAddressCase> {};

TEST_P(BaseAddressTest, BaseAddressComesFromArgumentThenVariableThenDefault) {
    const auto& row = GetParam();
    if (row.variable) environment.variables["QUILLO_API_URL"] = *row.variable;
    EXPECT_EQ(makeService(row.argument).baseURL(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BaseAddressTest,
    ::testing::Values(
        BaseAddressCase{"Unset", std::nullopt, std::nullopt, "https://quillo.app"},
        BaseAddressCase{"Empty", "", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"WithPathKeptVerbatim", "http://127.0.0.1:8787/p/", std::nullopt,
                        "http://127.0.0.1:8787/p/"},
        BaseAddressCase{"WithoutTrailingSlash", "https://staging.quillo.app", std::nullopt,
                        "https://staging.quillo.app"},
        BaseAddressCase{"WithQuery", "https://h.test/p?x=1", std::nullopt, "https://h.test/p?x=1"},
        BaseAddressCase{"Ipv6Host", "http://[::1]:9000", std::nullopt, "http://[::1]:9000"},
        BaseAddressCase{"NotAnAddress", "quillo", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"NoScheme", "quillo.app/api", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"NoHost", "https:///path", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"OnlyPort", "http://:8080", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"SurroundingSpaceIsNotTrimmed", " https://h.test", std::nullopt,
                        "https://quillo.app"},
        BaseAddressCase{"InnerSpace", "https://h.test/a b", std::nullopt, "https://quillo.app"},
        BaseAddressCase{"SchemeStartingWithDigit", "1http://h.test", std::nullopt,
                        "https://quillo.app"},
        BaseAddressCase{"ArgumentWinsOverVariable", "https://env.test", "https://arg.test",
                        "https://arg.test"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuilloSyncServiceTest, TheVariableIsReadOnceAtConstruction) {
    environment.variables["QUILLO_API_URL"] = "https://first.test";
    auto service = makeService();
    environment.variables["QUILLO_API_URL"] = "https://second.test";
    EXPECT_EQ(service.baseURL(), "https://first.test");
}

// --- Token store

struct TokenCase {
    const char* name;
    std::string pasted;
    std::optional<std::string> stored;  // nothing: rejected as malformed
};

class SaveTokenTest : public QuilloSyncServiceTest,
                      public ::testing::WithParamInterface<TokenCase> {};

TEST_P(SaveTokenTest, TokenIsTrimmedThenValidatedByPrefixAndCharacterCount) {
    const auto& row = GetParam();
    auto service = makeService();
    const auto error = service.saveToken(row.pasted);
    if (row.stored) {
        EXPECT_EQ(error, std::nullopt);
        EXPECT_TRUE(sameSecret(service.token(), row.stored));
    } else {
        EXPECT_EQ(error, QuilloSyncError{"令牌格式不正确"});
        EXPECT_TRUE(secrets.items.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SaveTokenTest,
    ::testing::Values(
        TokenCase{"SurroundingWhitespaceIsRemoved", "  " + tokenOfLength(40) + "\n",
                  tokenOfLength(40)},
        TokenCase{"TabsCarriageReturnsAndIdeographicSpaces",
                  "\t\u3000" + tokenOfLength(41) + "\r\n\u00a0", tokenOfLength(41)},
        TokenCase{"FortyCharactersIsEnough", tokenOfLength(40), tokenOfLength(40)},
        TokenCase{"ThirtyNineIsTooShort", tokenOfLength(39), std::nullopt},
        TokenCase{"SurroundingWhitespaceDoesNotCount", "    " + tokenOfLength(39) + "    ",
                  std::nullopt},
        TokenCase{"NoUpperLimit", tokenOfLength(4000), tokenOfLength(4000)},
        TokenCase{"Empty", "", std::nullopt}, TokenCase{"OnlyWhitespace", " \n\t ", std::nullopt},
        TokenCase{"UpperCasePrefix", "QLO_LIVE_" + std::string(40, 'k'), std::nullopt},
        TokenCase{"PrefixAfterOtherText", "token: " + tokenOfLength(40), std::nullopt},
        TokenCase{"PrefixOnly", "qlo_live_", std::nullopt},
        TokenCase{"InnerSpacesAreKeptAndCounted",
                  "qlo_live_" + std::string(15, 'k') + "  " + std::string(14, 'k'),
                  "qlo_live_" + std::string(15, 'k') + "  " + std::string(14, 'k')},
        // It would break the Authorization header apart.
        TokenCase{"InnerLineBreakIsRefused",
                  "qlo_live_" + std::string(15, 'k') + "\r\n" + std::string(15, 'k'), std::nullopt},
        TokenCase{"InnerNulIsRefused",
                  "qlo_live_" + std::string(15, 'k') + std::string(1, '\0') + std::string(15, 'k'),
                  std::nullopt},
        TokenCase{"InnerTabIsKept",
                  "qlo_live_" + std::string(15, 'k') + "\t" + std::string(15, 'k'),
                  "qlo_live_" + std::string(15, 'k') + "\t" + std::string(15, 'k')},
        // 31 characters of three bytes each: 40 characters, 102 bytes.
        TokenCase{"CountsCharactersNotBytes", "qlo_live_" + repeated("令", 31),
                  "qlo_live_" + repeated("令", 31)},
        // 30 letters each carrying a combining accent: 39 characters from 69 code points.
        TokenCase{"CombiningMarksJoinTheirLetter", "qlo_live_" + repeated("e\u0301", 30),
                  std::nullopt},
        TokenCase{
            "AFamilyEmojiIsOneCharacter",
            "qlo_live_" + std::string(30, 'k') + "\U0001F468\u200D\U0001F469\u200D\U0001F467",
            "qlo_live_" + std::string(30, 'k') + "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
        TokenCase{"AFamilyEmojiIsStillOnlyOneCharacter",
                  "qlo_live_" + std::string(29, 'k') + "\U0001F468\u200D\U0001F469\u200D\U0001F467",
                  std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuilloSyncServiceTest, AMalformedTokenLeavesTheStoredOneInPlace) {
    secrets.items[tokenItem] = tokenOfLength(45);
    auto service = makeService();
    EXPECT_EQ(service.saveToken("qlo_live_short"), QuilloSyncError{"令牌格式不正确"});
    EXPECT_TRUE(sameSecret(service.token(), tokenOfLength(45)));
}

TEST_F(QuilloSyncServiceTest, ATokenThatIsNotUtf8CannotBeSavedAndTheStoreIsUntouched) {
    secrets.items[tokenItem] = tokenOfLength(45);
    auto service = makeService();
    EXPECT_EQ(service.saveToken(tokenOfLength(40) + "\xC3\x28"),
              QuilloSyncError{"无法保存连接令牌"});
    EXPECT_TRUE(sameSecret(service.token(), tokenOfLength(45)));
}

TEST_F(QuilloSyncServiceTest, SavingASecondTokenReplacesTheFirst) {
    auto service = makeService();
    ASSERT_EQ(service.saveToken(tokenOfLength(40)), std::nullopt);
    ASSERT_EQ(service.saveToken(tokenOfLength(50)), std::nullopt);
    EXPECT_EQ(secrets.items.size(), 1u);
    EXPECT_TRUE(sameSecret(service.token(), tokenOfLength(50)));
}

TEST_F(QuilloSyncServiceTest, TheTokenLivesUnderTheGivenServiceName) {
    QuilloSyncService service(secrets, http, environment, "app.quillo.test");
    ASSERT_EQ(service.saveToken(tokenOfLength(40)), std::nullopt);
    EXPECT_EQ(secrets.items.count({"app.quillo.test", "agent-token"}), 1u);
    EXPECT_EQ(secrets.items.count(tokenItem), 0u);
}

class FailedAddTest : public QuilloSyncServiceTest, public ::testing::WithParamInterface<int> {};

// A store status of 0 on a failed add is still a failure: only an add that reports nothing
// stored the token.
TEST_P(FailedAddTest, AFailedAddReportsItsStatusAndLeavesNoToken) {
    secrets.items[tokenItem] = tokenOfLength(45);
    secrets.failAddWith = GetParam();
    auto service = makeService();
    EXPECT_EQ(service.saveToken(tokenOfLength(40)),
              QuilloSyncError{"钥匙串保存失败（" + std::to_string(GetParam()) + "）"});
    EXPECT_FALSE(service.isConnected());
}

INSTANTIATE_TEST_SUITE_P(Statuses, FailedAddTest, ::testing::Values(-1, 0, 2, -25299));

struct StoredCase {
    const char* name;
    std::optional<std::string> item;
    bool connected;
};

class StoredTokenTest : public QuilloSyncServiceTest,
                        public ::testing::WithParamInterface<StoredCase> {};

TEST_P(StoredTokenTest, OnlyANonEmptyUtf8ItemCountsAsConnected) {
    if (GetParam().item) secrets.items[tokenItem] = *GetParam().item;
    auto service = makeService();
    EXPECT_EQ(service.isConnected(), GetParam().connected);
    EXPECT_EQ(service.token().has_value(), GetParam().connected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StoredTokenTest,
    ::testing::Values(StoredCase{"Missing", std::nullopt, false}, StoredCase{"Empty", "", false},
                      StoredCase{"NotUtf8", "qlo_live_\xFF\xFE", false},
                      StoredCase{"EncodedSurrogate", "qlo_live_\xED\xA0\x80", false},
                      // Written elsewhere: read back as it is, neither validated nor trimmed.
                      StoredCase{"ShortAndPadded", " x ", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuilloSyncServiceTest, EveryQuestionReadsTheStoreAfresh) {
    auto service = makeService();
    EXPECT_FALSE(service.isConnected());
    secrets.items[tokenItem] = tokenOfLength(40);
    EXPECT_TRUE(service.isConnected());
    secrets.items.erase(tokenItem);
    EXPECT_FALSE(service.isConnected());
    EXPECT_EQ(secrets.finds, 3);
}

TEST_F(QuilloSyncServiceTest, DeletingWithNothingStoredDoesNothing) {
    auto service = makeService();
    service.deleteToken();
    EXPECT_FALSE(service.token());
}

// --- The request

class UploadTest : public QuilloSyncServiceTest {
protected:
    void SetUp() override { secrets.items[tokenItem] = tokenOfLength(40); }

    // Uploads and returns the one request sent.
    HttpRequest upload(const std::string& content, const std::string& date = "2026-05-01",
                       std::optional<std::string> baseURL = std::nullopt) {
        auto service = makeService(std::move(baseURL));
        service.sync(date, content, [](std::optional<QuilloSyncError>) {});
        EXPECT_EQ(http.requests.size(), 1u);
        return http.requests.empty() ? HttpRequest{} : http.requests.back();
    }
    std::string sentContent(const std::string& content) {
        return nlohmann::json::parse(upload(content).body).at("content").get<std::string>();
    }
};

TEST_F(UploadTest, TheReviewIsPostedWithTheThreeHeadersInOrderAndAFifteenSecondLimit) {
    const auto request = upload("## 今天做了什么\n\n- 写代码。\n");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://quillo.app/api/agent/reviews");
    EXPECT_EQ(request.timeout, 15s);
    EXPECT_THAT(request.headers, ElementsAre(Pair("Accept", "application/json"),
                                             Pair("Content-Type", "application/json"),
                                             Pair("Authorization", "Bearer " + tokenOfLength(40))));
}

TEST_F(UploadTest, TheTokenIsSentExactlyAsStored) {
    secrets.items[tokenItem] = " padded\t";
    const auto request = upload("x");
    ASSERT_EQ(request.headers.size(), 3u);
    EXPECT_EQ(request.headers[2].second, "Bearer  padded\t");
}

TEST_F(UploadTest, TheBodyIsCompactJsonWithExactlyFourMembers) {
    const auto request = upload("  内容 \n", "2026-12-06");
    EXPECT_EQ(
        request.body,
        R"({"reviewDate":"2026-12-06","content":"  内容 \n","sourceEventIds":[],"status":"draft"})");
}

struct CutCase {
    const char* name;
    std::string content;
    std::string sent;
};

class ContentCutTest : public UploadTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(ContentCutTest, ContentIsCutAtTwelveThousandCharactersNeverInsideOne) {
    EXPECT_EQ(sentContent(GetParam().content), GetParam().sent);
}

const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";

INSTANTIATE_TEST_SUITE_P(
    Rows, ContentCutTest,
    ::testing::Values(
        CutCase{"Empty", "", ""},
        CutCase{"ExactlyTwelveThousandIsWhole", std::string(12000, 'a'), std::string(12000, 'a')},
        CutCase{"OneMoreIsCut", std::string(12001, 'a'), std::string(12000, 'a')},
        CutCase{"MultiByteCharactersCountOnce", repeated("记", 12005), repeated("记", 12000)},
        CutCase{"ClusterEndingAtTheCutIsWhole", std::string(11999, 'a') + family + "b",
                std::string(11999, 'a') + family},
        CutCase{"ClusterAfterTheCutIsLeftOut", std::string(12000, 'a') + family,
                std::string(12000, 'a')},
        CutCase{"CombiningMarkStaysWithItsLetter", std::string(11999, 'a') + "e\u0301\u0327z",
                std::string(11999, 'a') + "e\u0301\u0327"},
        CutCase{"CrLfIsOneCharacter", repeated("\r\n", 12001), repeated("\r\n", 12000)},
        CutCase{"SurroundingWhitespaceIsKept", "\n\n  x  \n\n", "\n\n  x  \n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EndpointCase {
    const char* name;
    std::string base;
    std::string endpoint;
};

class EndpointTest : public UploadTest, public ::testing::WithParamInterface<EndpointCase> {};

TEST_P(EndpointTest, ThePathIsAppendedWithExactlyOneSlash) {
    EXPECT_EQ(upload("x", "2026-05-01", GetParam().base).url, GetParam().endpoint);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EndpointTest,
    ::testing::Values(
        EndpointCase{"EmptyPath", "https://quillo.app", "https://quillo.app/api/agent/reviews"},
        EndpointCase{"RootPath", "https://quillo.app/", "https://quillo.app/api/agent/reviews"},
        EndpointCase{"PathWithoutSlash", "http://127.0.0.1:8787/p",
                     "http://127.0.0.1:8787/p/api/agent/reviews"},
        EndpointCase{"PathWithSlash", "http://127.0.0.1:8787/p/",
                     "http://127.0.0.1:8787/p/api/agent/reviews"},
        EndpointCase{"QueryIsLeftBehind", "https://h.test/p?x=/y",
                     "https://h.test/p/api/agent/reviews"},
        EndpointCase{"QueryWithoutPath", "https://h.test?x=1", "https://h.test/api/agent/reviews"},
        EndpointCase{"FragmentIsLeftBehind", "https://h.test/p#top",
                     "https://h.test/p/api/agent/reviews"},
        EndpointCase{"UserInfoAndPortKept", "https://me@h.test:444",
                     "https://me@h.test:444/api/agent/reviews"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadTest, TheBaseAddressFromTheEnvironmentIsUsed) {
    environment.variables["QUILLO_API_URL"] = "http://127.0.0.1:8787";
    EXPECT_EQ(upload("x").url, "http://127.0.0.1:8787/api/agent/reviews");
}

// --- Local failures

TEST_F(QuilloSyncServiceTest, WithoutATokenTheFailureArrivesBeforeSyncReturnsAndNothingIsSent) {
    auto service = makeService();
    std::vector<std::optional<QuilloSyncError>> results;
    service.sync("2026-05-01", "x", [&](auto result) { results.push_back(result); });
    EXPECT_THAT(results, ElementsAre(QuilloSyncError{"尚未连接 Quillo"}));
    EXPECT_TRUE(http.requests.empty());
}

TEST_F(UploadTest, TextThatCannotBeWrittenAsJsonFailsBeforeSyncReturns) {
    for (const auto& [date, content] :
         {std::pair<std::string, std::string>{"2026-05-01", "a\xFF"}, {"2026-05-\xC0", "fine"}}) {
        auto service = makeService();
        std::vector<std::optional<QuilloSyncError>> results;
        service.sync(date, content, [&](auto result) { results.push_back(result); });
        EXPECT_THAT(results, ElementsAre(QuilloSyncError{"无法生成同步内容"}));
    }
    EXPECT_TRUE(http.requests.empty());
}

// --- Outcomes

struct OutcomeCase {
    const char* name;
    HttpResponse response;
    std::optional<std::string> failure;  // nothing: success
};

class OutcomeTest : public UploadTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeTest, EveryResponseBecomesSuccessOrOneMessage) {
    auto service = makeService();
    int calls = 0;
    std::optional<QuilloSyncError> result;
    service.sync("2026-05-01", "x", [&](std::optional<QuilloSyncError> error) {
        ++calls;
        result = std::move(error);
    });
    EXPECT_EQ(calls, 0) << "nothing before the response";
    http.completeNext(GetParam().response);
    EXPECT_EQ(calls, 1);
    if (GetParam().failure) {
        EXPECT_EQ(result, QuilloSyncError{*GetParam().failure});
    } else {
        EXPECT_EQ(result, std::nullopt);
    }
}

HttpResponse status(long code, std::string body = {}) { return {std::nullopt, code, body}; }
const std::string tokenRejection = R"({"error":"Invalid or insufficient agent token"})";

INSTANTIATE_TEST_SUITE_P(
    Rows, OutcomeTest,
    ::testing::Values(
        OutcomeCase{"TransportError",
                    {"Connection refused", std::nullopt, ""},
                    "无法连接 Quillo：Connection refused"},
        OutcomeCase{"TransportErrorWinsOverStatus",
                    {"Timeout was reached", 200, ""},
                    "无法连接 Quillo：Timeout was reached"},
        OutcomeCase{"TransportTextThatIsNotUtf8IsMadeReadable",
                    {"bad host \xFF", std::nullopt, ""},
                    "无法连接 Quillo：bad host \uFFFD"},
        OutcomeCase{"NoHttpResponse", {std::nullopt, std::nullopt, ""}, "同步响应无效"},
        OutcomeCase{"Created", status(201, "not json"), std::nullopt},
        OutcomeCase{"Ok", status(200, tokenRejection), std::nullopt},
        OutcomeCase{"NoContent", status(204), std::nullopt},
        OutcomeCase{"UpperEndOfSuccess", status(299), std::nullopt},
        OutcomeCase{"JustBelowSuccess", status(199), "同步失败（199）"},
        OutcomeCase{"Redirection", status(300), "同步失败（300）"},
        OutcomeCase{"RejectedToken401", status(401, tokenRejection), "连接令牌无效或已撤销"},
        OutcomeCase{"RejectedToken403", status(403, tokenRejection), "连接令牌无效或已撤销"},
        OutcomeCase{"RejectedToken500", status(500, tokenRejection), "连接令牌无效或已撤销"},
        OutcomeCase{"UnauthorizedWithoutBody", status(401), "同步失败（401）"},
        OutcomeCase{"ServerReason", status(422, R"({"error":"reviewDate is invalid"})"),
                    "reviewDate is invalid"},
        OutcomeCase{"EmptyServerReason", status(422, R"({"error":""})"), ""},
        OutcomeCase{"ErrorIsANumber", status(422, R"({"error":42})"), "同步失败（422）"},
        OutcomeCase{"BodyIsAnArray", status(500, R"(["error"])"), "同步失败（500）"},
        OutcomeCase{"OnlyAMessage", status(500, R"({"message":"boom"})"), "同步失败（500）"},
        OutcomeCase{"HtmlErrorPage", status(502, "<html>Bad Gateway</html>"), "同步失败（502）"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadTest, TheCompletionOutlivesTheService) {
    std::optional<QuilloSyncError> result{QuilloSyncError{"unset"}};
    {
        auto service = makeService();
        service.sync("2026-05-01", "x", [&](auto error) { result = error; });
    }
    http.completeNext(status(201));
    EXPECT_EQ(result, std::nullopt);
}

// --- errorDetail

struct DetailCase {
    const char* name;
    std::optional<std::string> data;
    std::optional<std::string> detail;
};

class ErrorDetailTest : public ::testing::TestWithParam<DetailCase> {};

TEST_P(ErrorDetailTest, OnlyAStringMemberNamedErrorOfAnObjectIsUsed) {
    EXPECT_EQ(QuilloSyncService::errorDetail(GetParam().data), GetParam().detail);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ErrorDetailTest,
    ::testing::Values(
        DetailCase{"NoData", std::nullopt, std::nullopt}, DetailCase{"EmptyData", "", std::nullopt},
        DetailCase{"NotJson", "Internal Server Error", std::nullopt},
        DetailCase{"TrailingText", R"({"error":"x"} and more)", std::nullopt},
        DetailCase{"TopLevelString", R"("error")", std::nullopt},
        DetailCase{"TopLevelNumber", "401", std::nullopt},
        DetailCase{"TopLevelArray", R"([{"error":"x"}])", std::nullopt},
        DetailCase{"ErrorIsNull", R"({"error":null})", std::nullopt},
        DetailCase{"ErrorIsAnObject", R"({"error":{"message":"x"}})", std::nullopt},
        DetailCase{"ErrorMissing", R"({"message":"x","detail":"y"})", std::nullopt},
        DetailCase{"NotUtf8", "{\"error\":\"\xFF\"}", std::nullopt},
        DetailCase{"RejectedTokenText", R"({"error":"Invalid or insufficient agent token"})",
                   "连接令牌无效或已撤销"},
        DetailCase{"RejectedTokenTextOtherCase",
                   R"({"error":"invalid or insufficient agent token"})",
                   "invalid or insufficient agent token"},
        DetailCase{"RejectedTokenTextWithPadding",
                   R"({"error":"Invalid or insufficient agent token "})",
                   "Invalid or insufficient agent token "},
        DetailCase{"OtherReasonVerbatim", R"({"error":"日期无效","code":7})", "日期无效"},
        DetailCase{"EscapesDecoded", R"({"error":"a\nb \u00e9"})", "a\nb é"},
        DetailCase{"EmptyReason", R"({"error":""})", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillo
