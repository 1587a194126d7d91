#include "QuilloSyncService.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "UnicodeText.h"

namespace quillo {

namespace {

using namespace std::chrono_literals;

constexpr const char* environmentVariable = "QUILLO_API_URL";
constexpr std::string_view tokenPrefix = "qlo_live_";
constexpr std::size_t minimumTokenLength = 40;
constexpr std::size_t maximumContentLength = 12000;
constexpr std::string_view endpointPath = "api/agent/reviews";
constexpr auto uploadTimeout = 15s;
constexpr std::string_view rejectedTokenText = "Invalid or insufficient agent token";

// The parts of an absolute URL that the endpoint is built from.
struct UrlParts {
    std::string_view origin;  // scheme "://" authority
    std::string_view path;    // up to the query or fragment
};

// A syntactic check only: a scheme, "://" and a non-empty host, nothing that a URL cannot hold
// unescaped. Whether the address can be reached, or its scheme spoken, is the HTTP client's to
// find out at upload time, where any failure becomes a message the user sees.
std::optional<UrlParts> absoluteURL(std::string_view text) {
    const auto separator = text.find("://");
    if (separator == std::string_view::npos || separator == 0) return std::nullopt;
    const auto scheme = text.substr(0, separator);
    if (!std::isalpha(static_cast<unsigned char>(scheme.front()))) return std::nullopt;
    for (const char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' ||
            c == '^' || c == '`' || c == '{' || c == '|' || c == '}')
            return std::nullopt;
    }
    const auto authorityStart = separator + 3;
    const auto authorityEnd = text.find_first_of("/?#", authorityStart);
    const auto authority = text.substr(authorityStart, authorityEnd == std::string_view::npos
                                                           ? std::string_view::npos
                                                           : authorityEnd - authorityStart);
    const auto userInfoEnd = authority.rfind('@');
    const auto host =
        userInfoEnd == std::string_view::npos ? authority : authority.substr(userInfoEnd + 1);
    if (!host.empty() && host.front() == '[') {
        if (host.find(']') == std::string_view::npos || host.find(']') == 1) return std::nullopt;
    } else if (host.empty() || host.front() == ':') {
        return std::nullopt;
    }
    UrlParts parts;
    parts.origin = text.substr(0, authorityStart + authority.size());
    if (authorityEnd != std::string_view::npos && text[authorityEnd] == '/') {
        const auto pathEnd = text.find_first_of("?#", authorityEnd);
        parts.path =
            text.substr(authorityEnd, pathEnd == std::string_view::npos ? std::string_view::npos
                                                                        : pathEnd - authorityEnd);
    }
    return parts;
}

bool isWebScheme(std::string_view origin) {
    const auto scheme = origin.substr(0, origin.find(':'));
    const auto lower = [](std::string_view text, std::string_view word) {
        return std::equal(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        });
    };
    return lower(scheme, "http") || lower(scheme, "https");
}

// The variable's address, or nothing when it is unset or empty. A value that is set but is no
// absolute http(s) address is a mistake to report: falling back to the default service would
// send the real token and diary there while the user believes they are testing elsewhere.
std::optional<std::string> environmentAddress(const Environment& environment,
                                              std::optional<QuilloSyncError>& problem) {
    auto value = environment.variable(environmentVariable);
    if (!value || value->empty()) return std::nullopt;
    const auto parts = absoluteURL(*value);
    if (parts && isWebScheme(parts->origin)) return value;
    problem = QuilloSyncError{std::string(environmentVariable) + " 不是完整的 http(s) 地址：“" +
                              unicode::replacingInvalidUTF8(*value) + "”"};
    return std::nullopt;
}

// The base with "api/agent/reviews" appended as one more path component: exactly one "/"
// between them, the base's query and fragment left behind.
std::string endpoint(const std::string& baseURL) {
    const auto parts = absoluteURL(baseURL);
    if (!parts) return baseURL + "/" + std::string(endpointPath);
    std::string url(parts->origin);
    url += parts->path;
    if (url.empty() || url.back() != '/') url += '/';
    url += endpointPath;
    return url;
}

// The token travels in an HTTP header: a line break (or any control character but the tab that
// header values allow) inside it would end the header early or smuggle in another.
bool holdsControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
    }
    return false;
}

QuilloSyncError failure(std::string message) { return QuilloSyncError{std::move(message)}; }

// The common failures in the user's words; the rest only in the network library's.
const char* describe(TransportFailure failure) {
    switch (failure) {
        case TransportFailure::timedOut:
            return "请求超时";
        case TransportFailure::hostNotFound:
            return "找不到服务器";
        case TransportFailure::connectionRefused:
            return "服务器拒绝了连接";
        case TransportFailure::connectionReset:
            return "连接被中断";
        case TransportFailure::tlsFailure:
            return "无法建立安全连接";
        case TransportFailure::tooManyRedirects:
            return "重定向次数过多";
        case TransportFailure::sendFailed:
            return "发送数据失败";
        case TransportFailure::receiveFailed:
            return "接收数据失败";
        case TransportFailure::other:
            break;
    }
    return nullptr;
}

std::optional<QuilloSyncError> outcome(const HttpResponse& response) {
    if (response.transportError) {
        if (const char* words = describe(response.failure))
            return failure(std::string("无法连接 Quillo：") + words);
        // Transport texts come from the network library and may quote bytes from the address;
        // the message must stay valid UTF-8 to reach the page at all.
        return failure("无法连接 Quillo：" +
                       unicode::replacingInvalidUTF8(*response.transportError));
    }
    if (!response.status) return failure("同步响应无效");
    const long status = *response.status;
    if (status >= 200 && status <= 299) return std::nullopt;
    if (auto detail = QuilloSyncService::errorDetail(response.body)) return failure(*detail);
    return failure("同步失败（" + std::to_string(status) + "）");
}

}  // namespace

QuilloSyncService::QuilloSyncService(SecretStore& secrets, HttpClient& session,
                                     const Environment& environment, std::string service,
                                     std::optional<std::string> baseURL)
    : secrets_(secrets),
      session_(session),
      service_(std::move(service)),
      account_("agent-token"),
      baseURL_(defaultWebAddress) {
    if (baseURL)
        baseURL_ = std::move(*baseURL);
    else if (auto address = environmentAddress(environment, addressProblem_))
        baseURL_ = std::move(*address);
}

bool QuilloSyncService::isConnected() { return token().has_value(); }

std::optional<std::string> QuilloSyncService::token() {
    auto stored = secrets_.find(service_, account_);
    if (!stored || stored->empty() || !unicode::isValidUTF8(*stored)) return std::nullopt;
    return stored;
}

std::optional<QuilloSyncError> QuilloSyncService::saveToken(const std::string& token) {
    const std::string_view trimmed = unicode::trimmedWhitespace(token);
    if (!trimmed.starts_with(tokenPrefix) ||
        !unicode::hasAtLeastGraphemes(trimmed, minimumTokenLength) ||
        holdsControlCharacter(trimmed))
        return failure("令牌格式不正确");
    if (!unicode::isValidUTF8(trimmed)) return failure("无法保存连接令牌");
    deleteToken();
    if (const auto status = secrets_.add(service_, account_, std::string(trimmed)))
        return failure("钥匙串保存失败（" + std::to_string(*status) + "）");
    return std::nullopt;
}

void QuilloSyncService::deleteToken() { secrets_.remove(service_, account_); }

void QuilloSyncService::sync(const std::string& reviewDate, const std::string& content,
                             Completion completion) {
    const auto storedToken = token();
    if (!storedToken) {
        completion(failure("尚未连接 Quillo"));
        return;
    }
    if (addressProblem_) {
        completion(*addressProblem_);
        return;
    }

    std::string body;
    try {
        const nlohmann::ordered_json review = {
            {"reviewDate", reviewDate},
            {"content", std::string(unicode::graphemePrefix(content, maximumContentLength))},
            {"sourceEventIds", nlohmann::json::array()},
            {"status", "draft"},
        };
        body = review.dump();
    } catch (const nlohmann::json::exception&) {
        // Text that is not valid UTF-8 cannot be written as JSON.
        completion(failure("无法生成同步内容"));
        return;
    }

    HttpRequest request;
    request.url = endpoint(baseURL_);
    request.method = "POST";
    request.timeout = uploadTimeout;
    request.body = std::move(body);
    request.headers = {
        {"Accept", "application/json"},
        {"Content-Type", "application/json"},
        {"Authorization", "Bearer " + *storedToken},
    };
    // Holds only the caller's function: the service may be gone by the time the reply comes.
    session_.send(std::move(request), [completion = std::move(completion)](HttpResponse response) {
        completion(outcome(response));
    });
}

std::optional<std::string> QuilloSyncService::errorDetail(const std::optional<std::string>& data) {
    if (!data) return std::nullopt;
    const auto parsed = nlohmann::json::parse(*data, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return std::nullopt;
    const auto error = parsed.find("error");
    if (error == parsed.end() || !error->is_string()) return std::nullopt;
    const auto& text = error->get_ref<const std::string&>();
    if (text == rejectedTokenText) return "连接令牌无效或已撤销";
    return text;
}

}  // namespace quillo
