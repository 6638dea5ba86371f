// http_client.cpp: CHttpClient: the object, its settings and a run (open
// handles, send, receive, report).
#include "VexloTool/HttpClient.h"

#include <cwctype>
#include <memory>

#include "core/callback_marshal.h"
#include "core/scoped_lock.h"

namespace VexloTool {

namespace {

const wchar_t kDefaultBoundary[] = L"--264EE08E-038B-4285-BC94-9C60CD4500B8";
const unsigned long kHeaderModifiers = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
const DWORD kNoSystemError = 901;

std::wstring Text(const wchar_t* text) {
    return text ? std::wstring(text) : std::wstring();
}

bool SameUrl(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    }
    return i == a.size() && !b[i];
}

void CloseOne(std::atomic<HINTERNET>& handle) {
    if (HINTERNET h = handle.exchange(nullptr))
        InternetCloseHandle(h);
}

DWORD LastErrorOr901() {
    const DWORD error = GetLastError();
    return error ? error : kNoSystemError;
}

}  // namespace

CHttpClient::CHttpClient()
    : m_hRoot(nullptr),
      m_hConnect(nullptr),
      m_hRequest(nullptr),
      m_boundary(kDefaultBoundary),
      m_port(INTERNET_DEFAULT_HTTP_PORT),
      m_scheme(INTERNET_SCHEME_HTTP),
      m_type(eHttpGet),
      m_contentLength(0),
      m_statusCode(0),
      m_errorCode(0),
      m_reuse(TRUE),
      m_lock(new CCriticalSection) {
    Reset();
}

CHttpClient::CHttpClient(const CHttpClient& other)
    : m_hRoot(nullptr), m_hConnect(nullptr), m_hRequest(nullptr) {
    CopyFrom(other);
}

CHttpClient& CHttpClient::operator=(const CHttpClient& other) {
    if (this != &other) {
        Close();
        CopyFrom(other);
    }
    return *this;
}

// Handles stay with the source: a copy opens its own, so no handle is ever
// closed twice. The run hook names the source, so it is not copied.
void CHttpClient::CopyFrom(const CHttpClient& other) {
    m_url = other.m_url;
    m_objectName = other.m_objectName;
    m_agent = other.m_agent;
    m_schemeName = other.m_schemeName;
    m_referer = other.m_referer;
    m_boundary = other.m_boundary;
    m_upload = other.m_upload;
    m_port = other.m_port;
    m_scheme = other.m_scheme;
    m_type = other.m_type;
    m_headers = other.m_headers;
    m_recvSignal = other.m_recvSignal;
    m_postSignal = other.m_postSignal;
    m_requestSignal = other.m_requestSignal;
    m_rspHeaders = other.m_rspHeaders;
    m_contentLength = other.m_contentLength;
    m_statusCode = other.m_statusCode;
    m_errorCode = other.m_errorCode;
    m_rspContent = other.m_rspContent;
    m_rawRspHeader = other.m_rawRspHeader;
    m_reuse = TRUE;
    m_lock = other.m_lock;
    m_runHook.clear();
}

CHttpClient::~CHttpClient() {
    Reset();
}

void CHttpClient::Reset() {
    Close();
    // Released after the lock, so no slot capture dies under it.
    boost::shared_ptr<RecvSignal> recv;
    boost::shared_ptr<PostSignal> post;
    boost::shared_ptr<RequestSignal> request;
    boost::function<void()> hook;
    ScopedLock hold(m_lock->m_sec);
    recv.swap(m_recvSignal);
    post.swap(m_postSignal);
    request.swap(m_requestSignal);
    m_url.clear();
    m_objectName.clear();
    m_agent.clear();
    m_schemeName.clear();
    m_referer.clear();
    m_rawRspHeader.clear();
    m_upload = UploadPart();
    m_port = INTERNET_DEFAULT_HTTP_PORT;
    m_scheme = INTERNET_SCHEME_HTTP;
    m_type = eHttpGet;
    m_headers.clear();
    m_rspHeaders.clear();
    m_contentLength = 0;
    m_statusCode = 0;
    m_errorCode = 0;
    m_rspContent.clear();
    m_reuse = TRUE;
    hook.swap(m_runHook);
}

void CHttpClient::Close() {
    CloseOne(m_hRequest);
    CloseOne(m_hConnect);
    CloseOne(m_hRoot);
}

// ---- settings ----------------------------------------------------------------

void CHttpClient::AddHeader(const wchar_t* name, const wchar_t* value, int) {
    m_headers.push_back(HeaderEntry{Text(name), Text(value), kHeaderModifiers});
}

void CHttpClient::ClearHeader() {
    m_headers.clear();
}

int CHttpClient::GetHeaderCount() {
    return static_cast<int>(m_headers.size());
}

tagHttpHeader CHttpClient::HeaderAt(const std::vector<HeaderEntry>& list, int index) {
    tagHttpHeader header = {nullptr, nullptr, kHeaderModifiers};
    if (index >= 0 && static_cast<size_t>(index) < list.size()) {
        header.name = list[index].name.c_str();
        header.value = list[index].value.c_str();
        header.modifiers = list[index].modifiers;
    }
    return header;
}

tagHttpHeader CHttpClient::GetHeader(int index) {
    return HeaderAt(m_headers, index);
}

void CHttpClient::SetAgent(const wchar_t* agent) {
    m_agent = Text(agent);
}
const wchar_t* CHttpClient::GetAgent() {
    return m_agent.c_str();
}
void CHttpClient::SetReferer(const wchar_t* referer) {
    m_referer = Text(referer);
}
const wchar_t* CHttpClient::GetReferer() {
    return m_referer.c_str();
}
void CHttpClient::SetBoundaryName(const wchar_t* boundary) {
    m_boundary = Text(boundary);
}
const wchar_t* CHttpClient::GetBoundaryName() {
    return m_boundary.c_str();
}
const wchar_t* CHttpClient::GetRequestUrl() {
    return m_url.c_str();
}
unsigned long CHttpClient::GetStatusCode() const {
    return m_statusCode;
}
unsigned long CHttpClient::GetErrorCode() const {
    return m_errorCode;
}
unsigned long CHttpClient::GetContentLength() const {
    return m_contentLength;
}
int CHttpClient::GetRspHeaderCount() {
    return static_cast<int>(m_rspHeaders.size());
}
tagHttpHeader CHttpClient::GetRspHeader(int index) {
    return HeaderAt(m_rspHeaders, index);
}
const wchar_t* CHttpClient::GetRspHeader() {
    return m_rawRspHeader.c_str();
}
const char* CHttpClient::GetRspContent(unsigned int& size) const {
    size = static_cast<unsigned int>(m_rspContent.size());
    return m_rspContent.data();
}

// ---- running a request -----------------------------------------------------------

int CHttpClient::Request(EHttpRequestType type, const wchar_t* url, void* slot) {
    if (!url)
        throw CHResultException(E_FAIL);
    if (!SameUrl(m_url, url))
        Close();
    // The host's slot is copied in, and the previous one dies, outside the lock.
    boost::shared_ptr<RequestSignal> fresh;
    if (slot) {
        fresh.reset(new RequestSignal);
        fresh->connect(*static_cast<const RequestSlot*>(slot));
    }
    boost::function<void()> hook;
    {
        ScopedLock hold(m_lock->m_sec);
        if (fresh)
            fresh.swap(m_requestSignal);
        m_url = url;
        m_type = type;
        m_errorCode = 0;
        m_statusCode = 0;
        m_contentLength = 0;
        m_rspHeaders.clear();
        m_rspContent.clear();
        m_rawRspHeader.clear();
        hook = m_runHook;
    }
    if (hook) {
        hook();
        return 1;
    }
    return Request();
}

int CHttpClient::Request() {
    boost::shared_ptr<RequestSignal> finished;  // released after the lock
    ScopedLock hold(m_lock->m_sec);
    int result = 0;
    DWORD error = 0;
    try {
        if (!m_reuse)
            Close();
        m_reuse = FALSE;
        int sent = 0;
        if (OpenSession() && OpenConnect() && OpenRequest()) {
            switch (m_type) {
                case eHttpGet:
                    sent = Get();
                    break;
                case eHttpPost:
                case eHttpUpload:
                    sent = Post();
                    break;
                default:
                    break;
            }
        }
        if (!sent) {
            error = LastErrorOr901();
        } else if (!RecvHeader()) {
            error = LastErrorOr901();
        } else if (!RecvResponse()) {
            // The read error was stored (and sent with the final chunk).
            error = m_errorCode ? m_errorCode : kNoSystemError;
        } else {
            m_reuse = TRUE;
            result = 1;
        }
    } catch (...) {
        error = LastErrorOr901();
        result = 0;
    }
    if (result) {
        m_errorCode = 0;
    } else {
        m_errorCode = error ? error : kNoSystemError;
        Close();
    }
    finished = m_requestSignal;
    DoRequestCallback();
    return result;
}

int CHttpClient::OpenSession() {
    if (m_hRoot)
        return 1;
    HINTERNET root = InternetOpenW(m_agent.empty() ? nullptr : m_agent.c_str(),
                                   INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    m_hRoot = root;
    if (!root)
        return 0;
    INTERNET_CONNECTED_INFO info = {0, 0};
    DWORD length = sizeof info;
    if (InternetQueryOptionW(root, INTERNET_OPTION_CONNECTED_STATE, &info, &length) &&
        !(info.dwConnectedState & INTERNET_STATE_CONNECTED)) {
        info.dwConnectedState = INTERNET_STATE_CONNECTED;
        InternetSetOptionW(root, INTERNET_OPTION_CONNECTED_STATE, &info, sizeof info);
    }
    return 1;
}

int CHttpClient::OpenConnect() {
    if (!m_hRoot)
        return 0;
    if (m_hConnect)
        return 1;
    const DWORD kPart = 1040;
    std::vector<wchar_t> scheme(kPart), host(kPart), path(kPart), extra(kPart);
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme.data();
    parts.dwSchemeLength = kPart - 1;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = kPart - 1;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = kPart - 1;
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = kPart - 1;
    if (!InternetCrackUrlW(m_url.c_str(), 0, 0, &parts))
        return 0;
    m_objectName = std::wstring(path.data()) + extra.data();
    m_port = parts.nPort;
    m_scheme = parts.nScheme;
    m_schemeName = scheme.data();
    // Only HTTP and HTTPS URLs are sent: another scheme's port would get an
    // HTTP request it never asked for.
    if (m_scheme != INTERNET_SCHEME_HTTP && m_scheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return 0;
    }
    HINTERNET connect =
        InternetConnectW(m_hRoot, host.data(), m_port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    m_hConnect = connect;
    return connect && InternetAttemptConnect(0) == ERROR_SUCCESS ? 1 : 0;
}

int CHttpClient::OpenRequest() {
    if (!m_hConnect)
        return 0;
    if (m_hRequest)
        return 1;
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if (m_scheme == INTERNET_SCHEME_HTTPS)
        flags |= INTERNET_FLAG_SECURE;
    if (m_type == eHttpPost || m_type == eHttpUpload)
        flags |= INTERNET_FLAG_FORMS_SUBMIT;
    LPCWSTR accept[] = {L"*/*", nullptr};
    HINTERNET request = HttpOpenRequestW(
        m_hConnect, m_type == eHttpGet ? L"GET" : L"POST", m_objectName.c_str(), L"HTTP/1.1",
        m_referer.empty() ? nullptr : m_referer.c_str(), accept, flags, 0);
    m_hRequest = request;
    return request ? 1 : 0;
}

bool CHttpClient::AddRequestHeaders() {
    for (const HeaderEntry& header : m_headers) {
        const std::wstring line = header.name + L": " + header.value + L"\r\n";
        if (!HttpAddRequestHeadersW(m_hRequest, line.c_str(), static_cast<DWORD>(-1),
                                    header.modifiers))
            return false;
    }
    return true;
}

int CHttpClient::Get() {
    if (!m_hRequest)
        return 0;
    if (!AddRequestHeaders())
        return 0;
    return HttpSendRequestW(m_hRequest, nullptr, 0, nullptr, 0) ? 1 : 0;
}

}  // namespace VexloTool
