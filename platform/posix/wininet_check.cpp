// wininet_check.cpp: InternetCheckConnectionW over libcurl: a bare TCP
// connection to the URL's host and port (curl's connect-only mode).
// Conformance tests: tests/platform/connection_check_test.cpp.
#define VXP_NO_WINSOCK
#include "vxplatform.h"

#include <curl/curl.h>

#include <string>

#include "platform/posix/profile_text.h"

namespace {

constexpr long kConnectTimeoutMs = 20000;
constexpr int kPollSliceMs = 50;

// One connect-only transfer; cleans up also when a termination unwinds it.
struct Attempt {
    Attempt() : easy(curl_easy_init()), multi(curl_multi_init()) {}
    ~Attempt() {
        if (multi && easy)
            curl_multi_remove_handle(multi, easy);
        if (multi)
            curl_multi_cleanup(multi);
        if (easy)
            curl_easy_cleanup(easy);
    }
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    CURL* easy;
    CURLM* multi;
};

// "http://host:port/" of the URL, or empty when it cannot be cracked.
std::string ConnectTarget(LPCWSTR url) {
    wchar_t host[256] = {};
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host) / sizeof(host[0]);
    if (!InternetCrackUrlW(url, 0, 0, &parts) || parts.dwHostNameLength == 0)
        return std::string();
    return "http://" + vxp::profile::EncodeUtf8(host, parts.dwHostNameLength) + ":" +
           std::to_string(parts.nPort) + "/";
}

// Drives the attempt in short slices, passing through a layer wait between
// them, so a TerminateThread of the caller ends it promptly.
bool Connects(const std::string& target) {
    Attempt attempt;
    CURL* easy = attempt.easy;
    CURLM* multi = attempt.multi;
    if (!easy || !multi)
        return false;
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_multi_add_handle(multi, easy);
    CURLcode result = CURLE_COULDNT_CONNECT;
    for (int running = 1; running;) {
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE)
                result = message->data.result;
        }
        if (running)
            curl_multi_poll(multi, nullptr, 0, kPollSliceMs, nullptr);
        SleepEx(0, FALSE);
    }
    return result == CURLE_OK;
}

}  // namespace

BOOL InternetCheckConnectionW(LPCWSTR lpszUrl, DWORD dwFlags, DWORD) {
    if (!lpszUrl || !(dwFlags & FLAG_ICC_FORCE_CONNECTION)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const std::string target = ConnectTarget(lpszUrl);
    if (target.empty()) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return FALSE;
    }
    if (!Connects(target)) {
        SetLastError(ERROR_INTERNET_CANNOT_CONNECT);
        return FALSE;
    }
    SetLastError(0);
    return TRUE;
}
