// Fetches one URL over HTTP into a string, for the naming lookup. Short fixed
// time-outs, so an unreachable naming agent costs seconds, not minutes. The
// first client loads libcurl; when it cannot, every transfer fails (-1).
#pragma once

#include <curl/curl.h>

#include <string>

namespace lodir {

struct CurlLibrary;

class LodirHttpClient {
public:
    LodirHttpClient();
    ~LodirHttpClient();
    LodirHttpClient(const LodirHttpClient&) = delete;
    LodirHttpClient& operator=(const LodirHttpClient&) = delete;

    // Whether a request goes through the proxy the environment names, if any.
    enum class Proxy { kFromEnvironment, kNone };

    // GETs url into response (emptied first). 0; -1 when the transfer fails
    // (refused, 3 s without a connection or a finished answer, a body larger
    // than 64 kB); -2 when the status is not 200.
    int Get(const std::string& url, std::string& response,
            Proxy proxy = Proxy::kFromEnvironment);
    // POSTs body (kept valid until the call returns) and appends the answer to
    // response. The same results as Get.
    int Post(const std::string& url, const char* body, std::string& response);
    // text percent-encoded for a URL's query value.
    std::string Escape(const std::string& text);

private:
    // Runs the request set up on the handle: 0, -1 or -2 as above.
    int Perform(Proxy proxy, std::string& response, CURLcode* transfer_result, long* status);

    const CurlLibrary* lib_;  // null: libcurl cannot be loaded
    CURL* curl_;
};

}  // namespace lodir
