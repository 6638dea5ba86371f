// wininet.cpp: the WinINet subset over libcurl. Each request handle owns an
// easy handle inside a multi handle of its own, driven by the calling thread
// only while it waits in a call (pull style): the body is handed over as it
// arrives and uploaded as it is written, never buffered whole. Connections
// are shared by the requests of one root handle. Conformance tests:
// tests/platform/wininet_test.cpp.
//
// Thread affinity: a handle is driven by one thread at a time; any thread
// may close it. Locks: HandleTableLock(), a node's childLock and a root's
// share locks (taken by libcurl only) are each taken alone, never nested,
// and none is held while a call blocks or a handle's last reference drops.

// libcurl brings the system socket headers.
#define VXP_NO_WINSOCK
#include "vxplatform.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/profile_text.h"
#include "platform/posix/wininet_errors.h"

namespace {

using Clock = std::chrono::steady_clock;

// A header block larger than this fails the request: a peer sending
// megabytes of headers is broken or hostile.
constexpr size_t kMaxHeaderBlock = 1u << 20;
// Windows' defaults.
constexpr DWORD kDefaultConnectTimeoutMs = 60000;
constexpr DWORD kDefaultSendTimeoutMs = 30000;
constexpr DWORD kDefaultReceiveTimeoutMs = 30000;

std::string Narrow(LPCWSTR text, size_t length = std::wstring::npos) {
    if (!text)
        return std::string();
    if (length == std::wstring::npos)
        length = wcslen(text);
    return vxp::profile::EncodeUtf8(text, length);
}

enum class Kind { Root, Connect, Request };

struct Node {
    explicit Node(Kind k) : kind(k) {}
    virtual ~Node() = default;
    virtual void Wake() {}

    const Kind kind;
    std::atomic<bool> closed{false};
    std::shared_ptr<Node> parent;
    std::mutex childLock;
    std::vector<std::weak_ptr<Node>> children;
    std::atomic<DWORD> connectTimeout{kDefaultConnectTimeoutMs};
    std::atomic<DWORD> sendTimeout{kDefaultSendTimeoutMs};
    std::atomic<DWORD> receiveTimeout{kDefaultReceiveTimeoutMs};
};

struct Root final : Node {
    Root() : Node(Kind::Root) {
        share = curl_share_init();
        if (!share)
            return;
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Root::Lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Root::Unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~Root() override {
        if (share)
            curl_share_cleanup(share);
    }
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Root*>(self)->locks[data % CURL_LOCK_DATA_LAST].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Root*>(self)->locks[data % CURL_LOCK_DATA_LAST].unlock();
    }

    CURLSH* share = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];
    std::string agent;
    // Proxies as configured when the root was opened, as on Windows.
    std::string httpProxy, httpsProxy, bypass;
};

std::string Environment(const char* lower, const char* upper) {
    const char* value = getenv(lower);
    if (!value || !*value)
        value = getenv(upper);
    return value ? value : "";
}

struct Connect final : Node {
    Connect() : Node(Kind::Connect) {}
    std::string host;
    INTERNET_PORT port = 0;
};

struct Header {
    std::string name, value;
};

// One exchange on a request handle; cleared by each send.
struct Transfer {
    std::string block;  // response header block, CR LF lines
    bool headersFinal = false;
    long status = 0;
    std::string body;  // arrived beyond the reader's buffer, not yet read
    size_t bodyPos = 0;
    // The buffer of the InternetReadFile call waiting now: the body is copied
    // straight into it, and only what does not fit is kept in `body`.
    char* reader = nullptr;
    size_t readerRoom = 0, readerFilled = 0;
    bool started = false, done = false;
    CURLcode result = CURLE_OK;
    bool headerTooLarge = false;
    bool badResponse = false;  // a header the body's framing cannot trust
    bool connected = false;
    // Upload: the caller's buffer being written, and the totals.
    const char* src = nullptr;
    size_t srcLen = 0;
    curl_off_t uploadTotal = 0, uploaded = 0;
    bool sendPaused = false;
    bool streaming = false;  // body comes through InternetWriteFile
    std::string optional;    // body given to HttpSendRequestW
    Clock::time_point lastProgress;
};

struct Request final : Node {
    Request() : Node(Kind::Request), easy(curl_easy_init()), multi(curl_multi_init()) {}
    ~Request() override {
        if (multi && easy && transfer.started)
            curl_multi_remove_handle(multi, easy);
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
        curl_slist_free_all(headerList);
    }
    // Any thread: interrupts the owner's wait so it sees the close.
    void Wake() override {
        if (multi)
            curl_multi_wakeup(multi);
    }
    Root& root() const { return static_cast<Root&>(*parent->parent); }
    Connect& connection() const { return static_cast<Connect&>(*parent); }

    CURL* const easy;
    CURLM* const multi;
    curl_slist* headerList = nullptr;
    std::string verb, object, referer, accept;
    DWORD flags = 0;
    std::atomic<DWORD> securityFlags{0};
    std::vector<Header> headers;
    Transfer transfer;
};

// ---- handle table --------------------------------------------------------

std::mutex& HandleTableLock() {
    static std::mutex lock;
    return lock;
}

std::unordered_map<uintptr_t, std::shared_ptr<Node>>& HandleTable() {
    static std::unordered_map<uintptr_t, std::shared_ptr<Node>> table;
    return table;
}

// Handle values are never reused, so a stale handle cannot name a new object.
HINTERNET Insert(const std::shared_ptr<Node>& node) {
    static uintptr_t next = 0x1000;
    std::lock_guard<std::mutex> hold(HandleTableLock());
    next += 4;
    HandleTable().emplace(next, node);
    return reinterpret_cast<HINTERNET>(next);
}

std::shared_ptr<Node> Lookup(HINTERNET handle) {
    std::lock_guard<std::mutex> hold(HandleTableLock());
    const auto it = HandleTable().find(reinterpret_cast<uintptr_t>(handle));
    return it == HandleTable().end() ? nullptr : it->second;
}

template <class T>
std::shared_ptr<T> LookupAs(HINTERNET handle, Kind kind) {
    const std::shared_ptr<Node> node = Lookup(handle);
    if (!node) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (node->kind != kind) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(node);
}

void Adopt(const std::shared_ptr<Node>& parent, const std::shared_ptr<Node>& child) {
    child->parent = parent;
    child->connectTimeout.store(parent->connectTimeout.load());
    child->sendTimeout.store(parent->sendTimeout.load());
    child->receiveTimeout.store(parent->receiveTimeout.load());
    std::lock_guard<std::mutex> hold(parent->childLock);
    parent->children.push_back(child);
}

// Marks the node and its descendants closed and wakes their waits.
void CloseTree(const std::shared_ptr<Node>& node) {
    node->closed = true;
    std::vector<std::weak_ptr<Node>> children;
    {
        std::lock_guard<std::mutex> hold(node->childLock);
        children.swap(node->children);
    }
    node->Wake();
    for (const auto& weak : children) {
        if (const auto child = weak.lock()) {
            {
                std::lock_guard<std::mutex> hold(HandleTableLock());
                for (auto it = HandleTable().begin(); it != HandleTable().end(); ++it) {
                    if (it->second == child) {
                        HandleTable().erase(it);
                        break;
                    }
                }
            }
            CloseTree(child);
        }
    }
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// ---- libcurl callbacks -----------------------------------------------------

bool IsFollowedRedirect(const Request& r, long status, const std::string& block) {
    if (r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT)
        return false;
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return false;
    std::string lower(block);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return lower.find("\r\nlocation:") != std::string::npos;
}

// A Content-Length that is not a plain number of at most 64 bits makes the
// body's end unknowable: the response is refused rather than guessed at.
bool HasValidContentLength(const std::string& block) {
    std::string lower(block);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    for (size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos;
         at = lower.find("\r\ncontent-length:", at + 2)) {
        const size_t start = lower.find_first_not_of(" \t", at + 17);
        const size_t end = lower.find("\r\n", start);
        std::string value = lower.substr(start, end - start);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        if (value.empty() || value.size() > 18 ||
            value.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    Request& r = *static_cast<Request*>(self);
    Transfer& t = r.transfer;
    const size_t length = size * count;
    if (t.headersFinal)
        return length;  // trailers
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0)
        t.block.clear();  // a new response: interim, redirect or final
    if (t.block.size() + line.size() + 2 > kMaxHeaderBlock) {
        t.headerTooLarge = true;
        return 0;
    }
    t.block += line;
    t.block += "\r\n";
    if (!line.empty())
        return length;
    const size_t blank = t.block.find(' ');
    const long status =
        blank == std::string::npos ? 0 : strtol(t.block.c_str() + blank + 1, nullptr, 10);
    if (status / 100 != 1 && !IsFollowedRedirect(r, status, t.block)) {
        if (!HasValidContentLength(t.block)) {
            t.badResponse = true;
            return 0;
        }
        t.headersFinal = true;
        t.status = status;
    }
    return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* self) {
    Request& r = *static_cast<Request*>(self);
    if (r.closed)
        return 0;
    Transfer& t = r.transfer;
    const size_t length = size * count;
    size_t direct = 0;
    if (t.bodyPos == t.body.size()) {
        t.body.clear();
        t.bodyPos = 0;
        direct = std::min(length, t.readerRoom - t.readerFilled);
        if (direct)
            memcpy(t.reader + t.readerFilled, data, direct);
        t.readerFilled += direct;
    }
    t.body.append(data + direct, length - direct);
    t.headersFinal = true;
    return length;
}

size_t OnUpload(char* buffer, size_t size, size_t count, void* self) {
    Request& r = *static_cast<Request*>(self);
    Transfer& t = r.transfer;
    if (r.closed)
        return CURL_READFUNC_ABORT;
    if (!t.streaming)
        return 0;
    if (t.srcLen == 0) {
        t.sendPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    const size_t n = std::min(size * count, t.srcLen);
    memcpy(buffer, t.src, n);
    t.src += n;
    t.srcLen -= n;
    t.uploaded += static_cast<curl_off_t>(n);
    t.lastProgress = Clock::now();
    return n;
}

int OnConnected(void* self, char*, char*, int, int) {
    Request& r = *static_cast<Request*>(self);
    r.transfer.connected = true;
    r.transfer.lastProgress = Clock::now();
    return CURL_PREREQFUNC_OK;
}

int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Request*>(self)->closed ? 1 : 0;
}

// ---- driving a transfer
// ------------------------------------------------------

DWORD TransferError(const Request& r) {
    const Transfer& t = r.transfer;
    if (t.headerTooLarge || t.badResponse)
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    long osErrno = 0;
    curl_easy_getinfo(r.easy, CURLINFO_OS_ERRNO, &osErrno);
    return vxp::WinInetErrorFromCurl(t.result, static_cast<int>(osErrno));
}

void NoteFinished(Request& r) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(r.multi, &left)) {
        if (msg->msg == CURLMSG_DONE) {
            r.transfer.done = true;
            r.transfer.result = msg->data.result;
        }
    }
}

// Drives the transfer on the calling thread until `ready` holds. False when
// the transfer ended first, the handle was closed (last error 12017) or the
// peer stalled past the time-out (12002); the transfer's own error is then
// TransferError().
bool Drive(Request& r, const std::function<bool()>& ready) {
    Transfer& t = r.transfer;
    t.lastProgress = Clock::now();
    curl_off_t seen = -1;
    for (;;) {
        if (r.closed) {
            SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return false;
        }
        if (ready())
            return true;
        if (t.done) {
            SetLastError(t.result == CURLE_OK ? ERROR_SUCCESS : TransferError(r));
            return false;
        }
        int running = 0;
        if (curl_multi_perform(r.multi, &running) != CURLM_OK) {
            SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
            return false;
        }
        NoteFinished(r);
        curl_off_t received = 0;
        curl_easy_getinfo(r.easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
        if (received != seen) {
            seen = received;
            t.lastProgress = Clock::now();
        }
        if (ready() || t.done || r.closed)
            continue;
        // Connecting is bounded by libcurl's connect time-out; after that a
        // peer that sends nothing for the receive time-out ends the call.
        const DWORD limit = r.receiveTimeout.load();
        const auto idle = Clock::now() - t.lastProgress;
        if (t.connected && limit && idle > std::chrono::milliseconds(limit)) {
            SetLastError(ERROR_INTERNET_TIMEOUT);
            return false;
        }
        curl_multi_poll(r.multi, nullptr, 0, 200, nullptr);
    }
}

long CurlTimeout(DWORD ms) {
    return ms == 0 || ms > 0x7fffffffu ? 0L : static_cast<long>(ms);
}

// Prepares the easy handle for a new exchange on this request handle.
bool Start(Request& r, curl_off_t uploadLength, bool streaming) {
    if (r.transfer.started)
        curl_multi_remove_handle(r.multi, r.easy);
    r.transfer = Transfer();
    Transfer& t = r.transfer;
    t.streaming = streaming;
    t.uploadTotal = uploadLength;
    CURL* e = r.easy;
    curl_easy_reset(e);
    const Connect& c = r.connection();
    const Root& root = r.root();
    const bool secure = (r.flags & INTERNET_FLAG_SECURE) != 0;
    std::string host = c.host;
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]";
    std::string url = (secure ? "https://" : "http://") + host;
    const INTERNET_PORT port = c.port ? c.port : (secure ? 443 : 80);
    url += ":" + std::to_string(port);
    url += r.object.empty() || r.object[0] != '/' ? "/" + r.object : r.object;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_SHARE, root.share);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION,
                     (r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, CurlTimeout(r.connectTimeout.load()));
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 64L * 1024);
    if (!root.agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, root.agent.c_str());
    curl_easy_setopt(e, CURLOPT_PROXY, (secure ? root.httpsProxy : root.httpProxy).c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, root.bypass.c_str());
    const DWORD security = r.securityFlags.load();
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER,
                     (security & SECURITY_FLAG_IGNORE_UNKNOWN_CA) ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST,
                     (security & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
    if (!r.referer.empty())
        curl_easy_setopt(e, CURLOPT_REFERER, r.referer.c_str());

    curl_slist_free_all(r.headerList);
    r.headerList = nullptr;
    bool hasAccept = false;
    for (const Header& h : r.headers) {
        if (strcasecmp(h.name.c_str(), "Content-Length") == 0)
            continue;  // libcurl announces the length it sends
        hasAccept = hasAccept || strcasecmp(h.name.c_str(), "Accept") == 0;
        r.headerList = curl_slist_append(r.headerList, (h.name + ": " + h.value).c_str());
    }
    if (!hasAccept)
        r.headerList = curl_slist_append(r.headerList, ("Accept: " + r.accept).c_str());
    r.headerList = curl_slist_append(r.headerList, "Expect:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);

    if (r.verb == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (r.verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, uploadLength);
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &OnUpload);
        curl_easy_setopt(e, CURLOPT_READDATA, &r);
        if (r.verb != "POST")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &OnConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &r);
    if (curl_multi_add_handle(r.multi, e) != CURLM_OK)
        return false;
    t.started = true;
    return true;
}

// Waits for the final response headers of a sent request.
BOOL AwaitHeaders(Request& r) {
    if (Drive(r, [&] { return r.transfer.headersFinal; }))
        return TRUE;
    const DWORD error = GetLastError();
    return Fail(error ? error : ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

// Adds "Name: value" lines (CR LF or LF separated) with the modifiers.
BOOL AddHeaders(Request& r, const std::string& text, DWORD modifiers) {
    size_t pos = 0;
    bool any = false;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return Fail(ERROR_HTTP_INVALID_HEADER);
        Header h{line.substr(0, colon), line.substr(colon + 1)};
        h.value.erase(0, h.value.find_first_not_of(" \t"));
        auto same = std::find_if(r.headers.begin(), r.headers.end(), [&](const Header& x) {
            return strcasecmp(x.name.c_str(), h.name.c_str()) == 0;
        });
        const bool exists = same != r.headers.end();
        if ((modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && exists)
            return Fail(ERROR_HTTP_HEADER_ALREADY_EXISTS);
        if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
            if (exists) {
                if (h.value.empty())
                    r.headers.erase(same);
                else
                    same->value = h.value;
            } else if (!h.value.empty()) {
                r.headers.push_back(h);
            }
        } else if ((modifiers & HTTP_ADDREQ_FLAG_COALESCE) && exists) {
            same->value += ", " + h.value;
        } else {
            r.headers.push_back(h);
        }
        any = true;
    }
    return any ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

// The value of a response header, or false when absent (nth occurrence).
bool FindResponseHeader(const std::string& block, const char* name, DWORD index, std::string& out) {
    size_t pos = block.find("\r\n");
    const size_t nameLength = strlen(name);
    while (pos != std::string::npos && pos + 2 < block.size()) {
        const size_t start = pos + 2;
        const size_t end = block.find("\r\n", start);
        const std::string line = block.substr(start, end - start);
        pos = end;
        if (line.size() > nameLength && line[nameLength] == ':' &&
            strncasecmp(line.c_str(), name, nameLength) == 0) {
            if (index-- == 0) {
                out = line.substr(nameLength + 1);
                out.erase(0, out.find_first_not_of(" \t"));
                while (!out.empty() && (out.back() == ' ' || out.back() == '\t'))
                    out.pop_back();
                return true;
            }
        }
    }
    return false;
}

BOOL ReturnNumber(const std::string& text, LPVOID buffer, LPDWORD length) {
    if (*length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value > 0xFFFFFFFFull)
        return Fail(ERROR_HTTP_INVALID_HEADER);
    const DWORD number = static_cast<DWORD>(value);
    memcpy(buffer, &number, sizeof number);
    *length = sizeof number;
    return TRUE;
}

BOOL ReturnText(const std::string& text, LPVOID buffer, LPDWORD length) {
    const std::wstring wide = vxp::profile::DecodeUtf8(text.data(), text.size());
    const DWORD needed = static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR));
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, wide.c_str(), needed);
    *length = needed - sizeof(WCHAR);
    return TRUE;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::atomic<DWORD>* TimeoutField(Node& node, DWORD option) {
    switch (option) {
        case INTERNET_OPTION_CONNECT_TIMEOUT:
            return &node.connectTimeout;
        case INTERNET_OPTION_SEND_TIMEOUT:
            return &node.sendTimeout;
        case INTERNET_OPTION_RECEIVE_TIMEOUT:
            return &node.receiveTimeout;
        default:
            return nullptr;
    }
}

// The announced body length of a request: its Content-Length header.
bool RequestContentLength(const Request& r, curl_off_t& length) {
    for (const Header& h : r.headers) {
        if (strcasecmp(h.name.c_str(), "Content-Length") != 0)
            continue;
        char* end = nullptr;
        const long long value = strtoll(h.value.c_str(), &end, 10);
        if (end == h.value.c_str() || value < 0)
            return false;
        length = value;
    }
    return true;
}

}  // namespace

// ---- the API
// ---------------------------------------------------------------------

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD) {
    InitCurlOnce();
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
        accessType != INTERNET_OPEN_TYPE_PROXY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto root = std::make_shared<Root>();
    if (!root->share) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    root->agent = Narrow(agent);
    if (accessType == INTERNET_OPEN_TYPE_PROXY) {
        root->httpProxy = root->httpsProxy = Narrow(proxy);
        root->bypass = Narrow(bypass);
    } else if (accessType == INTERNET_OPEN_TYPE_PRECONFIG) {
        root->httpProxy = Environment("http_proxy", "HTTP_PROXY");
        root->httpsProxy = Environment("https_proxy", "HTTPS_PROXY");
        root->bypass = Environment("no_proxy", "NO_PROXY");
    }
    return Insert(root);
}

HINTERNET InternetConnectW(HINTERNET parent, LPCWSTR server, INTERNET_PORT port, LPCWSTR, LPCWSTR,
                           DWORD service, DWORD, DWORD_PTR) {
    const auto root = LookupAs<Root>(parent, Kind::Root);
    if (!root)
        return nullptr;
    if (service != INTERNET_SERVICE_HTTP) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!server || !*server) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto connect = std::make_shared<Connect>();
    connect->host = Narrow(server);
    connect->port = port;
    Adopt(root, connect);
    return Insert(connect);
}

HINTERNET HttpOpenRequestW(HINTERNET parent, LPCWSTR verb, LPCWSTR object, LPCWSTR, LPCWSTR referer,
                           LPCWSTR* acceptTypes, DWORD flags, DWORD_PTR) {
    const auto connect = LookupAs<Connect>(parent, Kind::Connect);
    if (!connect)
        return nullptr;
    auto request = std::make_shared<Request>();
    if (!request->easy || !request->multi) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    request->verb = verb && *verb ? Narrow(verb) : "GET";
    request->object = object && *object ? Narrow(object) : "/";
    request->referer = Narrow(referer);
    request->flags = flags;
    for (LPCWSTR* type = acceptTypes; type && *type; ++type)
        request->accept += (request->accept.empty() ? "" : ", ") + Narrow(*type);
    if (request->accept.empty())
        request->accept = "*/*";
    Adopt(connect, request);
    return Insert(request);
}

BOOL InternetCloseHandle(HINTERNET handle) {
    std::shared_ptr<Node> node;
    {
        std::lock_guard<std::mutex> hold(HandleTableLock());
        const auto it = HandleTable().find(reinterpret_cast<uintptr_t>(handle));
        if (it == HandleTable().end())
            return Fail(ERROR_INVALID_HANDLE);
        node = it->second;
        HandleTable().erase(it);
    }
    CloseTree(node);
    return TRUE;
}

DWORD InternetAttemptConnect(DWORD) {
    return ERROR_SUCCESS;
}

BOOL InternetQueryOptionW(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length) {
    if (!length)
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<Node> node;
    if (handle && !(node = Lookup(handle)))
        return Fail(ERROR_INVALID_HANDLE);
    DWORD value = 0;
    if (option == INTERNET_OPTION_CONNECTED_STATE) {
        if (*length < sizeof(INTERNET_CONNECTED_INFO) || !buffer) {
            *length = sizeof(INTERNET_CONNECTED_INFO);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const INTERNET_CONNECTED_INFO info{INTERNET_STATE_CONNECTED, 0};
        memcpy(buffer, &info, sizeof info);
        *length = sizeof info;
        return TRUE;
    }
    if (!node)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    std::atomic<DWORD>* const timeout = TimeoutField(*node, option);
    if (timeout) {
        value = timeout->load();
    } else if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        if (node->kind != Kind::Request)
            return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        const auto& r = static_cast<const Request&>(*node);
        value = r.securityFlags.load();
        if (r.flags & INTERNET_FLAG_SECURE)
            value |= SECURITY_FLAG_SECURE;
    } else {
        return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
    if (*length < sizeof value || !buffer) {
        *length = sizeof value;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof value;
    return TRUE;
}

BOOL InternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    std::shared_ptr<Node> node;
    if (handle && !(node = Lookup(handle)))
        return Fail(ERROR_INVALID_HANDLE);
    if (option == INTERNET_OPTION_CONNECTED_STATE) {
        if (!buffer || length != sizeof(INTERNET_CONNECTED_INFO))
            return Fail(ERROR_INVALID_PARAMETER);
        return TRUE;  // always online: there is no offline mode to leave
    }
    if (!buffer || length < sizeof(DWORD))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!node)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    DWORD value = 0;
    memcpy(&value, buffer, sizeof value);
    std::atomic<DWORD>* const timeout = TimeoutField(*node, option);
    if (timeout) {
        timeout->store(value);
        return TRUE;
    }
    if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        if (node->kind != Kind::Request)
            return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        static_cast<Request&>(*node).securityFlags = value & ~SECURITY_FLAG_SECURE;
        return TRUE;
    }
    return Fail(ERROR_INTERNET_INVALID_OPTION);
}

BOOL HttpAddRequestHeadersW(HINTERNET handle, LPCWSTR text, DWORD length, DWORD modifiers) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    if (!text)
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t chars = length == static_cast<DWORD>(-1) ? wcslen(text) : length;
    return AddHeaders(*r, Narrow(text, chars), modifiers);
}

BOOL HttpSendRequestW(HINTERNET handle, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    if (headers && headersLength) {
        const size_t chars =
            headersLength == static_cast<DWORD>(-1) ? wcslen(headers) : headersLength;
        if (!AddHeaders(*r, Narrow(headers, chars),
                        HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
            return FALSE;
    }
    const DWORD bodyLength = optional ? optionalLength : 0;
    if (!Start(*r, bodyLength, bodyLength != 0))
        return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    Transfer& t = r->transfer;
    if (bodyLength) {
        t.optional.assign(static_cast<const char*>(optional), bodyLength);
        t.src = t.optional.data();
        t.srcLen = t.optional.size();
    }
    return AwaitHeaders(*r);
}

BOOL HttpSendRequestExW(HINTERNET handle, LPINTERNET_BUFFERSW in, LPINTERNET_BUFFERSW, DWORD,
                        DWORD_PTR) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    curl_off_t total = in ? in->dwBufferTotal : 0;
    if (!RequestContentLength(*r, total))
        return Fail(ERROR_HTTP_INVALID_HEADER);
    if (!Start(*r, total, true))
        return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    // Returns once the request line and headers are out and the body is wanted.
    Transfer& t = r->transfer;
    if (total == 0)
        return TRUE;
    if (Drive(*r, [&] { return t.sendPaused || t.headersFinal; }))
        return TRUE;
    const DWORD error = GetLastError();
    return Fail(error ? error : ERROR_INTERNET_CONNECTION_ABORTED);
}

BOOL InternetWriteFile(HINTERNET handle, LPCVOID data, DWORD length, LPDWORD written) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    if (!written || (!data && length))
        return Fail(ERROR_INVALID_PARAMETER);
    *written = 0;
    Transfer& t = r->transfer;
    if (!t.started || !t.streaming)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (t.uploaded + static_cast<curl_off_t>(length) > t.uploadTotal)
        return Fail(ERROR_INVALID_PARAMETER);  // more than the announced length
    if (length == 0)
        return TRUE;
    if (t.headersFinal) {
        // The server answered before taking the whole body (an error status):
        // the rest is accepted and dropped, and the answer is read as usual.
        t.uploaded += length;
        *written = length;
        return TRUE;
    }
    t.src = static_cast<const char*>(data);
    t.srcLen = length;
    if (t.sendPaused) {
        t.sendPaused = false;
        curl_easy_pause(r->easy, CURLPAUSE_CONT);
    }
    const bool ok = Drive(*r, [&] { return t.srcLen == 0 || t.headersFinal; });
    const DWORD error = GetLastError();
    t.src = nullptr;
    t.uploaded += static_cast<curl_off_t>(t.srcLen);  // dropped after an early answer
    t.srcLen = 0;
    if (ok) {
        *written = length;
        return TRUE;
    }
    return Fail(error ? error : ERROR_INTERNET_CONNECTION_ABORTED);
}

BOOL HttpEndRequestW(HINTERNET handle, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    Transfer& t = r->transfer;
    if (!t.started || !t.streaming)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (t.uploaded != t.uploadTotal && !t.headersFinal)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);  // body short of its length
    return AwaitHeaders(*r);
}

BOOL HttpQueryInfoW(HINTERNET handle, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    if (!length)
        return Fail(ERROR_INVALID_PARAMETER);
    const Transfer& t = r->transfer;
    if (!t.headersFinal)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    const bool number = (level & HTTP_QUERY_FLAG_NUMBER) != 0;
    std::string text;
    switch (level & 0xFFFFu) {
        case HTTP_QUERY_STATUS_CODE:
            text = std::to_string(t.status);
            break;
        case HTTP_QUERY_RAW_HEADERS_CRLF:
            if (number)
                return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
            return ReturnText(t.block, buffer, length);
        case HTTP_QUERY_CONTENT_LENGTH: {
            const DWORD which = index ? *index : 0;
            if (!FindResponseHeader(t.block, "Content-Length", which, text))
                return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
            if (index)
                ++*index;
            break;
        }
        default:
            return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
    }
    return number ? ReturnNumber(text, buffer, length) : ReturnText(text, buffer, length);
}

BOOL InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD wanted, LPDWORD read) {
    const auto r = LookupAs<Request>(handle, Kind::Request);
    if (!r)
        return FALSE;
    if (!read || (!buffer && wanted))
        return Fail(ERROR_INVALID_PARAMETER);
    *read = 0;
    Transfer& t = r->transfer;
    if (!t.headersFinal)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (wanted == 0)
        return TRUE;
    if (t.bodyPos < t.body.size()) {  // kept from an earlier call
        const size_t n = std::min<size_t>(wanted, t.body.size() - t.bodyPos);
        memcpy(buffer, t.body.data() + t.bodyPos, n);
        t.bodyPos += n;
        *read = static_cast<DWORD>(n);
        return TRUE;
    }
    t.reader = static_cast<char*>(buffer);
    t.readerRoom = wanted;
    t.readerFilled = 0;
    const bool ok = Drive(*r, [&] { return t.readerFilled != 0; });
    const DWORD error = GetLastError();
    *read = static_cast<DWORD>(t.readerFilled);
    t.reader = nullptr;
    t.readerRoom = t.readerFilled = 0;
    if (ok || error == ERROR_SUCCESS)  // ERROR_SUCCESS: end of body
        return TRUE;
    return *read ? TRUE : Fail(error);
}
