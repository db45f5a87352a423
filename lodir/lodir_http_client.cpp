#include "lodir/lodir_http_client.h"

#include <limits.h>

#include <algorithm>

#include "lodir/lodir_log.h"
#include "lodir_curl_library.h"

namespace lodir {

namespace {

const long kTimeoutSecs = 3;
// A naming reply is a few kilobytes; a larger answer fails the transfer. Each
// byte may cost a few hundred more once decoded (an empty object "{}," becomes
// an instance), so the cap also bounds the decoding's memory and time.
const size_t kMaxResponseBytes = 64 << 10;

size_t AppendResponse(char* data, size_t size, size_t count, void* user) {
    std::string* response = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (n > kMaxResponseBytes - std::min(response->size(), kMaxResponseBytes)) {
        return 0;  // anything short of n ends the transfer with an error
    }
    response->append(data, n);
    return n;
}

}  // namespace

LodirHttpClient::LodirHttpClient() : lib_(GetCurlLibrary()), curl_(nullptr) {
    // Without the library every transfer fails, as with an unreachable agent.
    if (lib_ == nullptr) {
        return;
    }
    lib_->global_init(CURL_GLOBAL_ALL);
    curl_ = lib_->easy_init();
    if (curl_ != nullptr) {
        lib_->easy_setopt(curl_, CURLOPT_WRITEFUNCTION, AppendResponse);
        // A transfer that times out while the name is still being resolved returns at
        // once and leaves the resolver thread behind, instead of waiting for it: a
        // resolver that never answers holds it for as long as the system lets it.
        lib_->easy_setopt(curl_, CURLOPT_QUICK_EXIT, 1L);
    }
}

LodirHttpClient::~LodirHttpClient() {
    if (lib_ == nullptr) {
        return;
    }
    if (curl_ != nullptr) {
        lib_->easy_cleanup(curl_);
    }
    lib_->global_cleanup();
}

int LodirHttpClient::Perform(Proxy proxy, std::string& response, CURLcode* transfer_result,
                             long* status) {
    // Set on every request: the handle keeps it for the next, which may want the other.
    const char* no_proxy = proxy == Proxy::kNone ? "*" : nullptr;
    lib_->easy_setopt(curl_, CURLOPT_NOPROXY, no_proxy);
    lib_->easy_setopt(curl_, CURLOPT_WRITEDATA, &response);
    lib_->easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    lib_->easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, kTimeoutSecs);
    lib_->easy_setopt(curl_, CURLOPT_TIMEOUT, kTimeoutSecs);
    *transfer_result = lib_->easy_perform(curl_);
    if (*transfer_result != CURLE_OK) {
        return -1;
    }
    *status = 0;
    if (lib_->easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, status) != CURLE_OK || *status != 200) {
        return -2;
    }
    return 0;
}

int LodirHttpClient::Get(const std::string& url, std::string& response, Proxy proxy) {
    LODIR_LOG(PLUME_LOG_DEBUG, "[lodir_http_client:50][Get] request url:[%s]", url.c_str());
    response.clear();
    if (curl_ == nullptr) {
        return -1;
    }
    lib_->easy_setopt(curl_, CURLOPT_URL, url.c_str());
    // A Post leaves its method on the shared handle.
    lib_->easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    CURLcode transfer_result = CURLE_OK;
    long status = 0;
    int ret = Perform(proxy, response, &transfer_result, &status);
    if (ret == -1) {
        LODIR_LOG(PLUME_LOG_WARNING, "[lodir_http_client:60][Get]Http is down? res:[%d]",
                  transfer_result);
    } else if (ret == -2) {
        LODIR_LOG(PLUME_LOG_WARNING, "[lodir_http_client:69][Get]get from %s fail,retcode[%d]",
                  url.c_str(), static_cast<int>(status));
    }
    return ret;
}

int LodirHttpClient::Post(const std::string& url, const char* body, std::string& response) {
    LODIR_LOG(PLUME_LOG_DEBUG, "[lodir_http_client:78][Post] post url:[%s]", url.c_str());
    if (curl_ == nullptr) {
        return -1;
    }
    lib_->easy_setopt(curl_, CURLOPT_URL, url.c_str());
    // Without fields libcurl would read the body from standard input.
    lib_->easy_setopt(curl_, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    lib_->easy_setopt(curl_, CURLOPT_POST, 1L);
    CURLcode transfer_result = CURLE_OK;
    long status = 0;
    return Perform(Proxy::kFromEnvironment, response, &transfer_result, &status);
}

std::string LodirHttpClient::Escape(const std::string& text) {
    if (lib_ == nullptr || text.size() > static_cast<size_t>(INT_MAX)) {
        return std::string();
    }
    char* escaped = lib_->easy_escape(curl_, text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr) {
        return std::string();
    }
    std::string result(escaped);
    lib_->free(escaped);
    return result;
}

}  // namespace lodir
