// profile.cpp: GetPrivateProfileStringW, GetPrivateProfileIntW and
// WritePrivateProfileStringW of the Linux layer: file access, locking and
// atomic replacement around the document model of profile_text.cpp.
// Conformance tests: tests/platform/profile_test.cpp.
#include "vxplatform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/errors.h"
#include "platform/posix/profile_text.h"

namespace {

using vxp::profile::Document;
using vxp::profile::Line;

constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorSharingViolation = 32;

size_t Length(const wchar_t* s) {
    return std::char_traits<wchar_t>::length(s);
}

// The file descriptor of a regular file, closed on scope exit.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { Reset(-1); }
    int get() const { return fd_; }
    void Release() { fd_ = -1; }
    void Reset(int fd) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string NarrowPath(const wchar_t* name) {
    return vxp::profile::EncodeUtf8(name, Length(name));
}

bool ReadAll(int fd, std::string* out) {
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        out->reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(fd, chunk, sizeof chunk, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(chunk, static_cast<size_t>(n));
        offset += n;
    }
}

// Opens an existing regular file for reading without blocking on FIFOs or
// devices; the last error describes a failure.
int OpenRegular(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A file where a folder should be is a missing path, as on Windows.
        SetLastError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : vxp::Win32ErrorFromErrno(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);  // a folder or a device is no profile
        return -1;
    }
    return fd;
}

// The parsed file, or an empty document when it cannot be read (the last
// error then says why).
bool Load(const wchar_t* fileName, Document* doc) {
    if (!fileName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    File file(OpenRegular(NarrowPath(fileName)));
    if (file.get() < 0)
        return false;
    std::string bytes;
    if (!ReadAll(file.get(), &bytes)) {
        vxp::SetLastErrorFromErrno(errno);
        return false;
    }
    *doc = Document::Parse(bytes);
    return true;
}

// Copies `text` (up to an embedded NUL) with the Win32 truncation rule for
// one string; returns the characters copied.
DWORD CopyString(const std::wstring& text, LPWSTR buffer, DWORD size) {
    size_t length = std::min(text.find(L'\0'), text.size());
    size_t n = std::min<size_t>(length, size - 1);
    std::memcpy(buffer, text.data(), n * sizeof(wchar_t));
    buffer[n] = 0;
    return static_cast<DWORD>(n);
}

// Copies a list of strings, each ended by a NUL and the list by another.
// When it does not fit, the list is cut to size - 2 characters and ends with
// two NULs, and size - 2 is returned.
DWORD CopyList(const std::vector<std::wstring>& items, LPWSTR buffer, DWORD size) {
    std::wstring all;
    for (const std::wstring& item : items) {
        all.append(item, 0, std::min(item.find(L'\0'), item.size()));
        all.push_back(0);
    }
    if (all.empty()) {
        buffer[0] = 0;
        return 0;
    }
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    if (all.size() + 2 <= size) {
        std::memcpy(buffer, all.data(), all.size() * sizeof(wchar_t));
        buffer[all.size()] = 0;
        return static_cast<DWORD>(all.size());
    }
    std::memcpy(buffer, all.data(), (size - 2) * sizeof(wchar_t));
    buffer[size - 2] = 0;
    buffer[size - 1] = 0;
    return size - 2;
}

// The text shown to the caller: escaped bytes as U+FFFD, and for values one
// pair of matching surrounding quotes removed.
std::wstring Shown(std::wstring text, bool stripQuotes) {
    vxp::profile::ShowEscapes(text);
    if (stripQuotes && text.size() >= 2 && (text[0] == L'"' || text[0] == L'\'') &&
        text.back() == text[0])
        text = text.substr(1, text.size() - 2);
    return text;
}

std::wstring DefaultText(LPCWSTR lpDefault) {
    std::wstring text = lpDefault ? lpDefault : L"";
    while (!text.empty() && text.back() == L' ')
        text.pop_back();
    return Shown(text, true);
}

DWORD ReadProfileString(LPCWSTR app, LPCWSTR key, LPCWSTR def, LPWSTR buffer, DWORD size,
                        LPCWSTR fileName) {
    Document doc;
    bool loaded = Load(fileName, &doc);
    DWORD lastError = loaded ? ERROR_SUCCESS : GetLastError();
    if (!loaded && lastError == ERROR_PATH_NOT_FOUND)
        lastError = ERROR_FILE_NOT_FOUND;
    const std::wstring& text = doc.text();
    const std::vector<Line>& lines = doc.lines();

    if (!app) {
        std::vector<std::wstring> names;
        for (const Line& line : lines) {
            if (line.kind == Line::Section && line.nameEnd > line.nameBegin)
                names.push_back(Shown(doc.Name(line), false));
        }
        SetLastError(names.empty() && loaded ? ERROR_FILE_NOT_FOUND : lastError);
        return CopyList(names, buffer, size);
    }

    size_t section = doc.FindSection(app);
    if (!key) {
        std::vector<std::wstring> keys;
        if (section != Document::npos) {
            size_t end = doc.SectionEnd(section);
            for (size_t i = section + 1; i < end; ++i) {
                const Line& line = lines[i];
                // Comments and lines without '=' are kept but are no keys.
                if (line.kind == Line::Entry && line.hasValue && line.nameEnd > line.nameBegin &&
                    text[line.nameBegin] != L';')
                    keys.push_back(Shown(doc.Name(line), false));
            }
        }
        if (keys.empty()) {
            SetLastError(loaded ? ERROR_FILE_NOT_FOUND : lastError);
            return CopyString(DefaultText(def), buffer, size);
        }
        SetLastError(ERROR_SUCCESS);
        return CopyList(keys, buffer, size);
    }

    size_t entry = section == Document::npos ? Document::npos : doc.FindEntry(section, key);
    if (entry != Document::npos && lines[entry].hasValue) {
        SetLastError(ERROR_SUCCESS);
        return CopyString(Shown(doc.Value(lines[entry]), true), buffer, size);
    }
    SetLastError(loaded ? ERROR_FILE_NOT_FOUND : lastError);
    return CopyString(DefaultText(def), buffer, size);
}

enum class Edit { Set, DeleteKey, DeleteSection };

bool FolderExists(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFully(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

DWORD WriteErrorFromErrno(int error) {
    if (error == ENOENT || error == ENOTDIR)
        return ERROR_PATH_NOT_FOUND;
    if (error == ENOSPC || error == EDQUOT)
        return kErrorDiskFull;
    return vxp::Win32ErrorFromErrno(error);
}

// Rewrites the file itself, for a folder that takes no new file: as on
// Windows, which writes a writable file in place whatever its folder
// allows. The caller holds the file's lock; the new text is written over
// the old before the length is cut, so the file never shrinks below it.
bool RewriteInPlace(const std::string& target, const std::string& bytes) {
    File out(open(target.c_str(), O_WRONLY | O_CLOEXEC));
    bool ok = out.get() >= 0 && WriteFully(out.get(), bytes) &&
              ftruncate(out.get(), static_cast<off_t>(bytes.size())) == 0 &&
              fdatasync(out.get()) == 0;
    if (!ok)
        SetLastError(WriteErrorFromErrno(errno));
    return ok;
}

// Writes `bytes` to a new file beside `target` and renames it over `target`,
// so readers see the old or the new file and never a partial one.
bool ReplaceFile(const std::string& target, const struct stat& like, const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = folder + "." + base + ".vxtmp-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter.fetch_add(1));
    File out(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return RewriteInPlace(target, bytes);
        SetLastError(WriteErrorFromErrno(errno));
        return false;
    }
    // Keep the file's permissions and, where allowed (root), its owner;
    // failing either leaves the caller's defaults, which is no reason to fail.
    if (fchmod(out.get(), like.st_mode & 07777) != 0) {
    }
    if (fchown(out.get(), like.st_uid, like.st_gid) != 0) {
    }
    bool ok = WriteFully(out.get(), bytes) && fdatasync(out.get()) == 0;
    int error = errno;
    if (close(out.get()) != 0 && ok) {
        ok = false;
        error = errno;
    }
    out.Release();
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        SetLastError(WriteErrorFromErrno(error));
    }
    return ok;
}

BOOL WriteProfile(Edit edit, LPCWSTR app, LPCWSTR key, LPCWSTR value, LPCWSTR fileName) {
    if (!fileName) {
        // Deviation: there is no win.ini to write to.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!*fileName) {
        SetLastError(ERROR_ACCESS_DENIED);  // Windows: the empty name is a folder
        return FALSE;
    }
    const std::string path = NarrowPath(fileName);
    // A writer that finds the file replaced after it took the lock starts
    // over on the new file; the bound only guards against a livelock.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        bool created = false;
        File file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (file.get() < 0) {
            if (errno != ENOENT) {
                SetLastError(WriteErrorFromErrno(errno));
                return FALSE;
            }
            if (edit != Edit::Set) {
                // Deviation: nothing to delete in a missing file, so no file
                // is made (Windows leaves an empty one).
                if (FolderExists(path))
                    return TRUE;
                SetLastError(ERROR_PATH_NOT_FOUND);
                return FALSE;
            }
            // The lock needs a file: make an empty one (a reader sees no keys,
            // exactly as before).
            file.Reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CREAT | O_CLOEXEC, 0666));
            if (file.get() < 0) {
                SetLastError(WriteErrorFromErrno(errno));
                return FALSE;
            }
            created = true;
        }
        struct stat st;
        if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // The read-only attribute: no write permission for the owner.
        if (!(st.st_mode & S_IWUSR) || access(path.c_str(), W_OK) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        while (flock(file.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                SetLastError(vxp::Win32ErrorFromErrno(errno));
                return FALSE;
            }
        }
        // The rename goes to the file itself, not to a symbolic link to it.
        char resolved[PATH_MAX];
        std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
        struct stat now;
        if (stat(target.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev)
            continue;  // replaced by another writer meanwhile: start over

        std::string bytes;
        if (!ReadAll(file.get(), &bytes)) {
            SetLastError(vxp::Win32ErrorFromErrno(errno));
            return FALSE;
        }
        Document doc = Document::Parse(bytes);
        bool changed = edit == Edit::Set         ? doc.Set(app, key, value)
                       : edit == Edit::DeleteKey ? doc.DeleteKey(app, key)
                                                 : doc.DeleteSection(app);
        if (!changed)
            return TRUE;
        if (!ReplaceFile(target, st, doc.Serialize())) {
            if (created)
                unlink(target.c_str());  // leave no empty file behind
            return FALSE;
        }
        return TRUE;
    }
    SetLastError(kErrorSharingViolation);
    return FALSE;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
    if (!lpReturnedString || nSize == 0)
        return 0;
    try {
        return ReadProfileString(lpAppName, lpKeyName, lpDefault, lpReturnedString, nSize,
                                 lpFileName);
    } catch (const std::bad_alloc&) {
        lpReturnedString[0] = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

UINT GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault, LPCWSTR lpFileName) {
    WCHAR buffer[30];
    DWORD length = GetPrivateProfileStringW(lpAppName, lpKeyName, L"", buffer, 30, lpFileName);
    if (length == 0)
        return static_cast<UINT>(nDefault);
    // Windows' conversion: blanks and control characters skipped, a sign, a
    // 0x/0o/0b prefix (lower case), digits up to the first non-digit, no
    // overflow check (the low 32 bits are kept).
    const WCHAR* p = buffer;
    const WCHAR* end = buffer + length;
    while (p < end && *p <= L' ')
        ++p;
    bool minus = false;
    if (p < end && (*p == L'+' || *p == L'-'))
        minus = *p++ == L'-';
    UINT base = 10;
    if (end - p >= 2 && p[0] == L'0') {
        if (p[1] == L'b')
            base = 2;
        if (p[1] == L'o')
            base = 8;
        if (p[1] == L'x')
            base = 16;
        if (base != 10)
            p += 2;
    }
    UINT total = 0;
    for (; p < end; ++p) {
        UINT digit;
        if (*p >= L'0' && *p <= L'9') {
            digit = static_cast<UINT>(*p - L'0');
        } else if (*p >= L'A' && *p <= L'Z') {
            digit = static_cast<UINT>(*p - L'A' + 10);
        } else if (*p >= L'a' && *p <= L'z') {
            digit = static_cast<UINT>(*p - L'a' + 10);
        } else {
            break;
        }
        if (digit >= base)
            break;
        total = total * base + digit;
    }
    return minus ? 0u - total : total;
}

BOOL WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                LPCWSTR lpFileName) {
    if (!lpAppName) {
        // All null is the documented request to flush a cache; there is none.
        if (lpKeyName || lpString)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Edit edit = !lpKeyName ? Edit::DeleteSection : !lpString ? Edit::DeleteKey : Edit::Set;
    try {
        return WriteProfile(edit, lpAppName, lpKeyName, lpString, lpFileName);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
