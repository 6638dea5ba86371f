// http_upload.cpp: CHttpClient: the multipart/form-data upload of one file
// part, streamed in 8192-byte chunks with progress notices.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "VexloTool/HttpClient.h"

namespace VexloTool {

namespace {

const DWORD kChunkSize = 8192;
const unsigned long kHeaderModifiers = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
const DWORD kIgnoreCertificateErrors =
    SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
// Contents lengths travel as a 32-bit signed number.
const long kLargestFile = 0x7FFFFFFFL;

std::wstring Text(const wchar_t* text) {
    return text ? std::wstring(text) : std::wstring();
}

std::string Ansi(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                            0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                            size, nullptr, nullptr);
    return out;
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> File;

// The length of an open file, or false with the last error set. A file of
// 2 GiB or more is refused: its length does not fit the upload's counters.
bool FileLength(FILE* file, long& length) {
    if (fseek(file, kLargestFile, SEEK_SET) == 0 && fgetc(file) != EOF) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    clearerr(file);
    if (fseek(file, 0, SEEK_END) != 0 || (length = ftell(file)) < 0 ||
        fseek(file, 0, SEEK_SET) != 0) {
        SetLastError(ERROR_READ_FAULT);
        return false;
    }
    return true;
}

bool AddHeaderLine(HINTERNET request, const std::wstring& line) {
    return HttpAddRequestHeadersW(request, line.c_str(), static_cast<DWORD>(-1),
                                  kHeaderModifiers) != FALSE;
}

bool Write(HINTERNET request, const char* data, DWORD length) {
    DWORD written = 0;
    return InternetWriteFile(request, data, length, &written) != FALSE;
}

}  // namespace

void CHttpClient::SetPostFile(const wchar_t* fieldName, const wchar_t* fileName, const char* data,
                              unsigned long length, const wchar_t* contentType) {
    m_upload = UploadPart();
    m_upload.fieldName = Text(fieldName);
    m_upload.fileName = Text(fileName);
    m_upload.contentType = Text(contentType);
    if (data && length)
        m_upload.data.assign(data, length);
}

void CHttpClient::SetPostFile(const wchar_t* fieldName, const wchar_t* fileName,
                              const wchar_t* path, const wchar_t* contentType) {
    m_upload = UploadPart();
    m_upload.fieldName = Text(fieldName);
    m_upload.fileName = Text(fileName);
    m_upload.contentType = Text(contentType);
    m_upload.filePath = Text(path);
}

int CHttpClient::Post() {
    if (!m_hRequest)
        return 0;
    HINTERNET request = m_hRequest;
    if (!AddRequestHeaders())
        return 0;
    if (!AddHeaderLine(request,
                       L"Content-Type: multipart/form-data; boundary=" + m_boundary + L"\r\n"))
        return 0;

    File file;
    long contents = 0;
    if (!m_upload.data.empty()) {
        contents = static_cast<long>(m_upload.data.size());
    } else {
        SetLastError(0);
        file.reset(m_upload.filePath.empty() ? nullptr : _wfopen(m_upload.filePath.c_str(), L"rb"));
        if (!file) {
            if (!GetLastError())
                SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        if (!FileLength(file.get(), contents))
            return 0;
    }

    const std::string boundary = Ansi(m_boundary);
    const std::string opening =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=" + Ansi(m_upload.fieldName) +
        "; filename=\"" + Ansi(m_upload.fileName) +
        "\"\r\nContent-Type: " + Ansi(m_upload.contentType) + "\r\n\r\n";
    const std::string closing = "\r\n--" + boundary + "--\r\n";
    const unsigned long total = static_cast<unsigned long>(
        opening.size() + static_cast<unsigned long>(contents) + closing.size());
    if (!AddHeaderLine(request, L"Content-Length: " + std::to_wstring(total) + L"\r\n"))
        return 0;

    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof buffers;
    BOOL sent = HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0);
    // An untrusted certificate is accepted once, as uploads always have been.
    if (!sent && GetLastError() == ERROR_INTERNET_INVALID_CA) {
        DWORD flags = 0;
        DWORD length = sizeof flags;
        InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &length);
        flags |= kIgnoreCertificateErrors;
        InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
        sent = HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0);
    }
    if (!sent)
        return 0;
    if (!Write(request, opening.data(), static_cast<DWORD>(opening.size())))
        return 0;

    // A chunk that cannot be read or written whole fails the upload: the
    // server must never receive a body other than the file.
    std::vector<char> chunk;
    for (unsigned long offset = 0; offset < static_cast<unsigned long>(contents);) {
        const DWORD length = static_cast<DWORD>(
            std::min<unsigned long>(static_cast<unsigned long>(contents) - offset, kChunkSize));
        const char* data = m_upload.data.data() + (file ? 0 : offset);
        if (file) {
            chunk.assign(length, 0);
            if (fread(chunk.data(), 1, length, file.get()) != length) {
                SetLastError(ferror(file.get()) ? ERROR_READ_FAULT : ERROR_HANDLE_EOF);
                return 0;
            }
            data = chunk.data();
        }
        if (!Write(request, data, length))
            return 0;
        offset += length;
        DoPostCallback(offset);
    }
    if (!Write(request, closing.data(), static_cast<DWORD>(closing.size())))
        return 0;
    return HttpEndRequestW(request, nullptr, HSR_INITIATE, 0) ? 1 : 0;
}

}  // namespace VexloTool
