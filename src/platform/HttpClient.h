#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillo {

struct HttpRequest {
    std::string url;
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers;  // sent in this order
    std::string body;
    std::chrono::milliseconds timeout{60000};
};

// What kept a request from producing a response, as far as it can be told in words of our own;
// `other` leaves only the network library's text.
enum class TransportFailure {
    other,
    timedOut,
    hostNotFound,
    connectionRefused,
    connectionReset,
    tlsFailure,
    tooManyRedirects,
    sendFailed,
    receiveFailed,
};

struct HttpResponse {
    // Set when the request never produced a response (refused, timed out, TLS failure, ...).
    std::optional<std::string> transportError;
    // The final status after redirects; absent when there was no HTTP response.
    std::optional<long> status;
    // The start of the body: a client may keep only so much of it.
    std::string body;
    // The kind of the transport error, when there is one.
    TransportFailure failure = TransportFailure::other;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Starts the request and returns at once. The completion runs exactly once, on a worker
    // thread, never on the caller's.
    virtual void send(HttpRequest request, std::function<void(HttpResponse)> completion) = 0;
};

}  // namespace quillo
