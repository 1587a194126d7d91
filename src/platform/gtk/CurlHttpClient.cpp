#include "CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace quillo::gtk {

namespace {

bool breaksHeaderLine(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// Enough for any error detail a reply carries; the rest of a large body is read and dropped, so
// the status still arrives and a misbehaving server cannot fill the memory.
constexpr std::size_t keptBodyBytes = 64 * 1024;

size_t appendBody(char* data, size_t size, size_t count, void* body) {
    auto& kept = *static_cast<std::string*>(body);
    const std::size_t length = size * count;
    kept.append(data, std::min(length, keptBodyBytes - std::min(kept.size(), keptBodyBytes)));
    return length;
}

TransportFailure failureKind(CURLcode code, long osErrno) {
    const bool reset = osErrno == ECONNRESET || osErrno == EPIPE;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return TransportFailure::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return TransportFailure::hostNotFound;
        case CURLE_COULDNT_CONNECT:
            // Also an unreachable network, which "refused" would misname.
            return osErrno == ECONNREFUSED ? TransportFailure::connectionRefused
                                           : TransportFailure::other;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return TransportFailure::connectionReset;
        case CURLE_SEND_ERROR:
            return reset ? TransportFailure::connectionReset : TransportFailure::sendFailed;
        case CURLE_RECV_ERROR:
            return reset ? TransportFailure::connectionReset : TransportFailure::receiveFailed;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return TransportFailure::tlsFailure;
        case CURLE_TOO_MANY_REDIRECTS:
            return TransportFailure::tooManyRedirects;
        default:
            return TransportFailure::other;
    }
}

}  // namespace

CurlHttpClient::CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpResponse CurlHttpClient::perform(const HttpRequest& request) {
    HttpResponse response;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        response.transportError = curl_easy_strerror(CURLE_FAILED_INIT);
        return response;
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(nullptr,
                                                                           &curl_slist_free_all);
    auto addHeader = [&headerList](const std::string& line) {
        curl_slist* longer = curl_slist_append(headerList.get(), line.c_str());
        if (!longer) return false;
        headerList.release();
        headerList.reset(longer);
        return true;
    };
    for (const auto& [name, value] : request.headers) {
        // curl sends header text as it stands: a line break inside would start a header (or a
        // request) of its own making.
        if (breaksHeaderLine(name) || breaksHeaderLine(value)) {
            response.transportError = "Refused to send a header field that holds a line break";
            return response;
        }
        if (!addHeader(name + ": " + value)) {
            response.transportError = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
            return response;
        }
    }
    // curl would otherwise hold larger bodies back until the server answers "100 Continue", an
    // extra round trip that a server ignoring the header turns into a one-second stall.
    if (!addHeader("Expect:")) {
        response.transportError = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
        return response;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};

    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    if (request.method != "GET") {
        // POST through curl's own method, not a custom one: a custom method would be kept on a
        // redirect that must turn into a GET (301, 302, 303), while 307 and 308 resend the body.
        if (request.method != "POST")
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(request.timeout.count()));
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response.body);

    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        response.transportError = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
        long osErrno = 0;
        curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osErrno);
        response.failure = failureKind(code, osErrno);
        response.body.clear();
        return response;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0) response.status = status;
    return response;
}

void CurlHttpClient::send(HttpRequest request, std::function<void(HttpResponse)> completion) {
    std::thread([request = std::move(request), completion = std::move(completion)] {
        completion(perform(request));
    }).detach();
}

}  // namespace quillo::gtk
