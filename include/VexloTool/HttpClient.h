/// @file
/// HttpClient.h: one reusable HTTP exchange over WinINet (GET, or a
/// multipart/form-data upload of one file part), with body-chunk, upload
/// progress and completion notices delivered on the host's window thread.
///
/// Threads: configure and call Request from one thread at a time; a run
/// blocks the thread that performs it (the caller, or a pool worker for an
/// object made by CHttpFactory). Close, Reset and the callback setters may be
/// called from any thread. Slots run on the CFuncDispatch window thread.
/// Locks: one lock per object (shared by its copies), held for a whole run;
/// taken after CHttpFactory's lock and before the dispatcher's, never the
/// reverse. Slots and their captures never run or die under it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "VexloTool/CriticalSection.h"
#include "VexloTool/Export.h"
#include "vxplatform.h"

namespace VexloTool {

/// 32-bit; a value outside the three fails the run.
enum EHttpRequestType : int {
    eHttpPost = 0,    ///< POST with the multipart upload of the file part
    eHttpGet = 1,     ///< GET
    eHttpUpload = 2,  ///< the same exchange as eHttpPost
};

/// A header as handed out: the pointers point into the object's list and stay
/// valid until that list next changes. Out of range: both pointers null.
struct tagHttpHeader {
    const wchar_t* name;
    const wchar_t* value;
    unsigned long modifiers;
};

class VEXLOTOOL_API CHttpClient {
public:
    /// (error code, status code, chunk, chunk length); a final notice of
    /// length 0 ends the body.
    typedef boost::signals2::signal<void(unsigned long, unsigned long, const char*, unsigned int)>
        RecvSignal;
    /// (error code, status code, contents bytes written so far)
    typedef boost::signals2::signal<void(unsigned long, unsigned long, unsigned long)> PostSignal;
    /// (error code, status code), once at the end of a run.
    typedef boost::signals2::signal<void(unsigned long, unsigned long)> RequestSignal;
    /// Slot types of the three notices; lambdas convert to them.
    typedef RecvSignal::slot_type RecvSlot;
    typedef PostSignal::slot_type PostSlot;
    typedef RequestSignal::slot_type RequestSlot;

    /// An empty exchange: a GET without URL, headers or agent; the default boundary.
    CHttpClient();
    /// A copy shares the source's slots and lock, starts without open
    /// handles, and runs synchronously (a factory's run hook is not copied).
    CHttpClient(const CHttpClient& other);
    CHttpClient& operator=(const CHttpClient& other);
    virtual ~CHttpClient();

    /// Closes the handles and returns every member but the boundary to its
    /// initial value; also drops a factory's run hook.
    void Reset();

    /// Adds a request header, sent with every later request until ClearHeader;
    /// the third argument is not used.
    void AddHeader(const wchar_t* name, const wchar_t* value, int unused);
    /// Forgets every request header added with AddHeader.
    void ClearHeader();
    /// The number of request headers added.
    int GetHeaderCount();
    /// The request header at index; both pointers null when out of range.
    tagHttpHeader GetHeader(int index);

    /// The User-Agent of the next requests; a null text means empty.
    void SetAgent(const wchar_t* agent);
    const wchar_t* GetAgent();
    /// The Referer of the next requests; a null text means empty.
    void SetReferer(const wchar_t* referer);
    const wchar_t* GetReferer();
    /// The multipart boundary of uploads (a default is set by the constructor).
    void SetBoundaryName(const wchar_t* boundary);
    const wchar_t* GetBoundaryName();
    /// The URL of the last Request.
    const wchar_t* GetRequestUrl();

    /// The HTTP status of the last run (a 404 is a successful run too).
    unsigned long GetStatusCode() const;
    /// The WinINet error of the last failed run (901 when the system gave none); 0 after success.
    unsigned long GetErrorCode() const;
    /// The response's Content-Length; 0 when it announced none.
    unsigned long GetContentLength() const;
    /// The number of response headers of the last run.
    int GetRspHeaderCount();
    /// The response header at index; both pointers null when out of range.
    tagHttpHeader GetRspHeader(int index);
    /// The raw response header block, without its closing blank line.
    const wchar_t* GetRspHeader();

    /// Runs the request (or queues it, for a factory-made object) and calls
    /// the slot once with its outcome. A null url raises CHResultException
    /// carrying E_FAIL. Returns 1 on success (always for a queued run).
    int Request(EHttpRequestType type, const wchar_t* url, const RequestSlot& slot) {
        return Request(type, url, const_cast<void*>(static_cast<const void*>(&slot)));
    }
    /// The same without a completion slot.
    int Request(EHttpRequestType type, const wchar_t* url) {
        return Request(type, url, static_cast<void*>(nullptr));
    }
    /// Closes request, connection and root handle; a run blocked on them
    /// fails promptly. Takes no lock.
    void Close();

    /// The file part of an upload: contents from a buffer, or from a file.
    void SetPostFile(const wchar_t* fieldName, const wchar_t* fileName, const char* data,
                     unsigned long length, const wchar_t* contentType);
    void SetPostFile(const wchar_t* fieldName, const wchar_t* fileName, const wchar_t* path,
                     const wchar_t* contentType);

    /// Body chunks (at most 8192 bytes each, then a notice of length 0) go
    /// to this slot instead of being kept in the object.
    void SetRecvCallbck(const RecvSlot& slot) {
        SetRecvCallbck(const_cast<void*>(static_cast<const void*>(&slot)));
    }
    /// Upload progress: the contents bytes written so far.
    void SetPostCallbck(const PostSlot& slot) {
        SetPostCallbck(const_cast<void*>(static_cast<const void*>(&slot)));
    }

protected:
    int Request(EHttpRequestType type, const wchar_t* url, void* slot);
    int Request();
    int OpenSession();
    int OpenConnect();
    int OpenRequest();
    int Get();
    int Post();

    void SetRecvCallbck(void* slot);
    void SetPostCallbck(void* slot);
    int RecvHeader();
    void ParseHeader();
    int RecvResponse();
    void DoRecvCallback(void* const data, unsigned long length);
    void DoPostCallback(unsigned long sent);
    void DoRequestCallback();
    const char* GetRspContent(unsigned int& size) const;

private:
    friend class CHttpFactory;

    struct HeaderEntry {
        std::wstring name;
        std::wstring value;
        unsigned long modifiers;
    };
    struct UploadPart {
        std::wstring fieldName;
        std::wstring fileName;
        std::wstring contentType;
        std::string data;
        std::wstring filePath;
    };

    void CopyFrom(const CHttpClient& other);
    int RecvChunks();
    int RecvWhole();
    bool AddRequestHeaders();
    static tagHttpHeader HeaderAt(const std::vector<HeaderEntry>& list, int index);

protected:
    // Closed from any thread, so each is taken out atomically and closed once.
    std::atomic<HINTERNET> m_hRoot;
    std::atomic<HINTERNET> m_hConnect;
    std::atomic<HINTERNET> m_hRequest;
    std::wstring m_url;
    std::wstring m_objectName;
    std::wstring m_agent;
    std::wstring m_schemeName;
    std::wstring m_referer;
    std::wstring m_boundary;
    UploadPart m_upload;
    INTERNET_PORT m_port;
    INTERNET_SCHEME m_scheme;
    EHttpRequestType m_type;
    std::vector<HeaderEntry> m_headers;
    boost::shared_ptr<RecvSignal> m_recvSignal;
    boost::shared_ptr<PostSignal> m_postSignal;
    boost::shared_ptr<RequestSignal> m_requestSignal;
    std::vector<HeaderEntry> m_rspHeaders;
    DWORD m_contentLength;
    DWORD m_statusCode;
    DWORD m_errorCode;
    std::string m_rspContent;
    std::wstring m_rawRspHeader;
    BOOL m_reuse;
    boost::shared_ptr<CCriticalSection> m_lock;
    boost::function<void()> m_runHook;
};

}  // namespace VexloTool
