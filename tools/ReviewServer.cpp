// quillo-review-server: a stand-in for the Quillo diary service's review endpoint, on loopback
// only. It checks uploads the way the service does (bearer token from a configured list, the
// four-member review body), keeps and prints what it received, and can be told to misbehave so
// every failure the companion handles can be produced on purpose. It never prints a token.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;

constexpr const char* usage =
    "usage: quillo-review-server [options]\n"
    "\n"
    "Serves POST <any base path>/api/agent/reviews on 127.0.0.1 and prints every upload it\n"
    "receives (never the token). GET /received lists them as JSON.\n"
    "\n"
    "  --port N          port on 127.0.0.1 (default 8787; 0 picks a free one)\n"
    "  --tokens FILE     the accepted agent tokens, one per line ('#' starts a comment;\n"
    "                    FILE - reads them from standard input up to its end);\n"
    "                    without it every upload is answered 401\n"
    "  --status N        answer every upload with status N instead of checking it\n"
    "  --body TEXT       the body sent with --status (default: none)\n"
    "  --redirect URL    answer uploads to /api/agent/reviews with a redirect to URL (307,\n"
    "                    or --status); uploads under another base path are served as usual,\n"
    "                    so a redirect may lead back to this server\n"
    "  --delay MS        wait MS milliseconds before answering\n"
    "  --stall           never answer; the client has to give up\n"
    "  --hold            keep every answer back until GET /release, then answer at once\n"
    "  --drop            close the connection in the middle of the answer\n"
    "  --quiet           print only the line that says where the server listens\n"
    "\n"
    "The first line printed is \"listening on http://127.0.0.1:<port>\".\n";

constexpr const char* rejectedToken = "Invalid or insufficient agent token";

struct Options {
    int port = 8787;
    std::optional<std::string> tokensFile;
    std::optional<int> status;
    std::string body;
    std::optional<std::string> redirect;
    std::chrono::milliseconds delay{0};
    bool stall = false;
    bool hold = false;
    bool drop = false;
    bool quiet = false;
};

std::optional<int> number(const char* text, int low, int high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        const bool hasValue = i + 1 < argc;
        if (flag == "--port" && hasValue) {
            const auto port = number(argv[++i], 0, 65535);
            if (!port) return std::nullopt;
            options.port = *port;
        } else if (flag == "--tokens" && hasValue) {
            options.tokensFile = argv[++i];
        } else if (flag == "--status" && hasValue) {
            options.status = number(argv[++i], 100, 599);
            if (!options.status) return std::nullopt;
        } else if (flag == "--body" && hasValue) {
            options.body = argv[++i];
        } else if (flag == "--redirect" && hasValue) {
            options.redirect = argv[++i];
        } else if (flag == "--delay" && hasValue) {
            const auto delay = number(argv[++i], 0, 3'600'000);
            if (!delay) return std::nullopt;
            options.delay = std::chrono::milliseconds(*delay);
        } else if (flag == "--stall") {
            options.stall = true;
        } else if (flag == "--hold") {
            options.hold = true;
        } else if (flag == "--drop") {
            options.drop = true;
        } else if (flag == "--quiet") {
            options.quiet = true;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

std::string_view trimmed(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1);
}

std::optional<std::set<std::string>> readTokens(const std::string& path) {
    std::ifstream file;
    if (path != "-") {
        file.open(path);
        if (!file) return std::nullopt;
    }
    std::istream& input = path == "-" ? std::cin : file;
    std::set<std::string> tokens;
    for (std::string line; std::getline(input, line);) {
        const auto token = trimmed(line);
        if (!token.empty() && token.front() != '#') tokens.emplace(token);
    }
    return tokens;
}

// What the service would say about the body, or nothing when it is a well-formed review.
std::optional<std::string> reviewProblem(const Json& review) {
    if (!review.is_object()) return "The review must be a JSON object";
    static const std::set<std::string> members{"reviewDate", "content", "sourceEventIds", "status"};
    for (const auto& [key, value] : review.items()) {
        if (!members.count(key)) return "Unknown member \"" + key + "\"";
    }
    const auto date = review.find("reviewDate");
    static const std::regex datePattern(R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01]))");
    if (date == review.end() || !date->is_string() ||
        !std::regex_match(date->get<std::string>(), datePattern))
        return "reviewDate must be a date written yyyy-MM-dd";
    const auto content = review.find("content");
    if (content == review.end() || !content->is_string()) return "content must be a string";
    const auto events = review.find("sourceEventIds");
    if (events == review.end() || !events->is_array()) return "sourceEventIds must be an array";
    const auto status = review.find("status");
    if (status == review.end() || *status != "draft") return "status must be \"draft\"";
    return std::nullopt;
}

class ReviewServer {
public:
    ReviewServer(Options options, std::set<std::string> tokens)
        : options_(std::move(options)), tokens_(std::move(tokens)) {
        // Any base path: a base address with a path of its own ends up here as well.
        server_.Post(R"(.*/api/agent/reviews)",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         review(request, response);
                     });
        server_.Get("/received", [this](const httplib::Request&, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            response.set_content(received_.dump(), "application/json");
        });
        server_.Get("/release", [this](const httplib::Request&, httplib::Response&) {
            {
                std::lock_guard lock(mutex_);
                released_ = true;
            }
            wake_.notify_all();
        });
        server_.set_expect_100_continue_handler(
            [](const httplib::Request&, httplib::Response&) { return 100; });
    }

    // The port bound, or nothing.
    std::optional<int> bind() {
        if (options_.port == 0) {
            const int port = server_.bind_to_any_port("127.0.0.1");
            return port > 0 ? std::optional(port) : std::nullopt;
        }
        return server_.bind_to_port("127.0.0.1", options_.port) ? std::optional(options_.port)
                                                                : std::nullopt;
    }
    bool run() { return server_.listen_after_bind(); }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        server_.stop();
    }

private:
    void review(const httplib::Request& request, httplib::Response& response) {
        Json record = {
            {"path", request.path},
            {"authorization", authorization(request)},
            {"accept", request.get_header_value("Accept")},
            {"contentType", request.get_header_value("Content-Type")},
            {"body", request.body},
        };
        answer(request, record, response);
        record["status"] = response.status;
        std::lock_guard lock(mutex_);
        received_.push_back(record);
        print(record);
    }

    // Whether the bearer token was one of the configured ones; the token itself is not kept.
    std::string authorization(const httplib::Request& request) const {
        if (!request.has_header("Authorization")) return "absent";
        const auto value = request.get_header_value("Authorization");
        constexpr std::string_view scheme = "Bearer ";
        if (value.rfind(scheme, 0) != 0) return "rejected";
        return tokens_.count(value.substr(scheme.size())) ? "accepted" : "rejected";
    }

    void answer(const httplib::Request& request, const Json& record, httplib::Response& response) {
        if (options_.stall) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_; });
            return;
        }
        if (options_.hold) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return released_ || stopping_; });
            if (stopping_) return;
        }
        if (options_.delay.count() > 0) {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, options_.delay, [this] { return stopping_; })) return;
        }
        if (options_.drop) {
            // The headers promise a body that never comes: the client sees the connection end
            // in the middle of the answer.
            response.status = 201;
            response.set_content_provider(64, "application/json",
                                          [](size_t, size_t, httplib::DataSink&) { return false; });
            return;
        }
        if (options_.redirect && request.path == "/api/agent/reviews") {
            response.status = options_.status.value_or(307);
            response.set_header("Location", *options_.redirect);
            return;
        }
        if (options_.status && !options_.redirect) {
            response.status = *options_.status;
            if (!options_.body.empty()) response.set_content(options_.body, "application/json");
            return;
        }
        if (record["authorization"] != "accepted") {
            reply(response, 401, {{"error", rejectedToken}});
            return;
        }
        const auto review = Json::parse(request.body, nullptr, false);
        if (const auto problem = reviewProblem(review)) {
            reply(response, 422, {{"error", *problem}});
            return;
        }
        std::lock_guard lock(mutex_);
        reply(response, 201,
              {{"id", ++accepted_}, {"reviewDate", review["reviewDate"]}, {"status", "draft"}});
    }

    static void reply(httplib::Response& response, int status, const Json& body) {
        response.status = status;
        response.set_content(body.dump(), "application/json");
    }

    // One block per upload, for a person watching the flow. Called with the mutex held.
    void print(const Json& record) const {
        if (options_.quiet) return;
        char time[16] = {};
        const std::time_t now = std::time(nullptr);
        std::strftime(time, sizeof time, "%H:%M:%S", std::localtime(&now));
        std::printf(
            "[%s] POST %s  token: %s  → %d\n", time, record["path"].get<std::string>().c_str(),
            record["authorization"].get<std::string>().c_str(), record["status"].get<int>());
        const auto review = Json::parse(record["body"].get<std::string>(), nullptr, false);
        if (review.is_object() && review.contains("reviewDate") && review.contains("content") &&
            review["content"].is_string()) {
            const auto& content = review["content"].get_ref<const std::string&>();
            std::printf("    reviewDate %s, status %s, content %zu bytes:\n",
                        review["reviewDate"].dump().c_str(),
                        review.value("status", Json()).dump().c_str(), content.size());
            std::size_t start = 0;
            for (int line = 0; line < 8 && start < content.size(); ++line) {
                const auto end = std::min(content.find('\n', start), content.size());
                std::printf("    | %.*s\n", static_cast<int>(end - start), content.data() + start);
                start = end + 1;
            }
            if (start < content.size()) std::printf("    | …\n");
        } else {
            std::printf("    body: %zu bytes, not a review\n",
                        record["body"].get<std::string>().size());
        }
        std::fflush(stdout);
    }

    Options options_;
    std::set<std::string> tokens_;
    httplib::Server server_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool released_ = false;
    Json received_ = Json::array();
    int accepted_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(usage, stdout);
        return 0;
    }
    const auto options = parse(argc, argv);
    if (!options) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::set<std::string> tokens;
    if (options->tokensFile) {
        auto read = readTokens(*options->tokensFile);
        if (!read) {
            std::fprintf(stderr, "quillo-review-server: cannot read %s\n",
                         options->tokensFile->c_str());
            return 2;
        }
        tokens = std::move(*read);
    }

    // Signals are taken by one thread that stops the server, so a stalled answer ends as well.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    ReviewServer server(*options, tokens);
    const auto port = server.bind();
    if (!port) {
        std::fprintf(stderr, "quillo-review-server: cannot listen on 127.0.0.1:%d\n",
                     options->port);
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", *port);
    if (!options->quiet) {
        std::printf("%zu token(s) accepted%s\n", tokens.size(),
                    tokens.empty() ? ": every upload is answered 401" : "");
    }
    std::fflush(stdout);

    std::thread([&server, signals] {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    }).detach();
    return server.run() ? 0 : 1;
}
