// http_receive.cpp: CHttpClient: reading the response (status, headers,
// body) and posting the three notices to the window thread.
#include <algorithm>
#include <new>
#include <vector>

#include "VexloTool/HttpClient.h"
#include "core/callback_marshal.h"
#include "core/scoped_lock.h"

namespace VexloTool {

namespace {

const unsigned long kHeaderModifiers = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
const DWORD kChunkSize = 8192;
// Reads of a kept body, when its length was not announced.
const size_t kWholeBlock = 256 * 1024;
const DWORD kFirstHeaderBuffer = 2048;

// Pieces between delimiters; after the last delimiter the rest counts only
// when it is not empty.
std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& delimiter) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (size_t at; (at = text.find(delimiter, start)) != std::wstring::npos;
         start = at + delimiter.size())
        pieces.push_back(text.substr(start, at - start));
    if (start < text.size())
        pieces.push_back(text.substr(start));
    return pieces;
}

template <class Signal>
void ReplaceSignal(boost::shared_ptr<Signal>& member, void* slot, CCriticalSection& lock) {
    if (!slot)
        return;
    boost::shared_ptr<Signal> fresh(new Signal),
        previous;  // previous dies after the lock
    fresh->connect(*static_cast<const typename Signal::slot_type*>(slot));
    ScopedLock hold(lock.m_sec);
    previous.swap(member);
    member.swap(fresh);
}

}  // namespace

void CHttpClient::SetRecvCallbck(void* slot) {
    ReplaceSignal(m_recvSignal, slot, *m_lock);
}

void CHttpClient::SetPostCallbck(void* slot) {
    ReplaceSignal(m_postSignal, slot, *m_lock);
}

int CHttpClient::RecvHeader() {
    m_statusCode = 0;
    DWORD length = sizeof m_statusCode;
    DWORD index = 0;
    if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &m_statusCode,
                        &length, &index))
        return 0;
    m_contentLength = 0;
    HttpQueryInfoW(m_hRequest, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &m_contentLength,
                   &length, &index);
    m_rawRspHeader.clear();
    // Header blocks of any size: cookies and security policies easily pass
    // the first guess, so a block that does not fit is read again whole.
    std::vector<wchar_t> text(kFirstHeaderBuffer / sizeof(wchar_t));
    DWORD bytes = kFirstHeaderBuffer;
    while (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &bytes, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes <= text.size() * sizeof(wchar_t))
            return 0;
        text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    }
    std::wstring raw(text.data(), bytes / sizeof(wchar_t));
    m_rawRspHeader = raw.substr(0, raw.find(L'\0'));
    ParseHeader();
    return 1;
}

void CHttpClient::ParseHeader() {
    m_rspHeaders.clear();
    for (size_t at; (at = m_rawRspHeader.find(L"\r\n\r\n")) != std::wstring::npos;)
        m_rawRspHeader.erase(at, 4);
    const std::vector<std::wstring> lines = Split(m_rawRspHeader, L"\r\n");
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::wstring> pieces = Split(lines[i], L": ");
        if (pieces.size() == 2)
            m_rspHeaders.push_back(HeaderEntry{pieces[0], pieces[1], kHeaderModifiers});
    }
}

int CHttpClient::RecvResponse() {
    if (!m_hRequest)
        return 0;
    try {
        return m_recvSignal ? RecvChunks() : RecvWhole();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        m_errorCode = ERROR_NOT_ENOUGH_MEMORY;
        DoRecvCallback(nullptr, 0);
        return 0;
    }
}

// With a receive slot: the body goes to the window thread in 8192-byte
// chunks and is not kept.
int CHttpClient::RecvChunks() {
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(m_hRequest, buffer.data(), kChunkSize, &read)) {
            m_errorCode = GetLastError();
            DoRecvCallback(nullptr, 0);
            return 0;
        }
        DoRecvCallback(buffer.data(), read);
        if (read == 0)
            return 1;
    }
}

// Without one: the body is kept, read straight into the object's buffer in
// large blocks. Each byte is zero-filled once, in a block still in cache.
int CHttpClient::RecvWhole() {
    std::string& body = m_rspContent;
    size_t size = body.size();
    try {
        body.reserve(size + m_contentLength + 1);  // one allocation when announced
        VxAdviseLargeBuffer(&body[0], body.capacity());
    } catch (const std::bad_alloc&) {
        // Only a hint: an absurd announced length must not fail the run.
    }
    for (;;) {
        if (body.size() == size) {
            // Within the reserve, up to its end; beyond it, geometric growth.
            const size_t room = body.capacity() - size;
            body.resize(size + (room ? std::min(room, kWholeBlock) : kWholeBlock));
        }
        DWORD read = 0;
        const BOOL ok = InternetReadFile(m_hRequest, &body[size],
                                         static_cast<DWORD>(body.size() - size), &read);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        size += read;
        if (ok && read)
            continue;
        body.resize(size);
        if (!ok)
            m_errorCode = error;
        return ok ? 1 : 0;
    }
}

void CHttpClient::DoRecvCallback(void* const data, unsigned long length) {
    if (!m_recvSignal)
        return;
    PostEvent(m_recvSignal, static_cast<unsigned long>(m_errorCode),
              static_cast<unsigned long>(m_statusCode),
              CopyPayload(static_cast<const char*>(data), static_cast<unsigned int>(length)));
}

void CHttpClient::DoPostCallback(unsigned long sent) {
    if (!m_postSignal)
        return;
    PostEvent(m_postSignal, static_cast<unsigned long>(m_errorCode),
              static_cast<unsigned long>(m_statusCode), sent);
}

// The caller keeps its own reference until it has left the lock, so the
// slot is never destroyed under it.
void CHttpClient::DoRequestCallback() {
    if (!m_requestSignal)
        return;
    PostEvent(m_requestSignal, m_url, static_cast<unsigned long>(m_errorCode),
              static_cast<unsigned long>(m_statusCode));
    m_requestSignal.reset();
}

}  // namespace VexloTool
