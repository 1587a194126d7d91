#pragma once

#include "platform/HttpClient.h"

namespace quillo::gtk {

// libcurl, one easy handle per request on its own worker thread. Redirects are followed (at most
// 10, http and https only), TLS is verified, and curl keeps a custom Authorization header to the
// first host and port. A header holding a line break is refused as a transport failure. Only the
// first 64 KiB of a response body are kept.
class CurlHttpClient : public HttpClient {
public:
    CurlHttpClient();
    void send(HttpRequest request, std::function<void(HttpResponse)> completion) override;
    // Runs the request on the calling thread; what send() does on its worker.
    static HttpResponse perform(const HttpRequest& request);
};

}  // namespace quillo::gtk
