// host.cpp: the parts every vexlo command uses: errors and their meanings,
// option parsing, files, the window thread and the progress line.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "VexloTool/FuncDispatch.h"
#include "tools/vexlo/vexlo.h"

namespace vexlo {

const char kExitCodeHelp[] =
    "Exit codes:\n"
    "  0    success\n"
    "  1    the operation failed; stderr names the Win32 error code and its meaning\n"
    "  2    bad command line (error 87)\n"
    "  3    get/upload: the server answered with a status outside 200-299\n"
    "  130  interrupted (Ctrl-C, SIGINT, SIGTERM) before the work was done\n";

namespace {

struct Meaning {
    unsigned long code;
    const char* text;
};

// Win32, Winsock and WinINet codes a command can end with. Spelled the same
// on both targets so scripts can match them.
const Meaning kMeanings[] = {
    {0, "success"},
    {2, "file not found"},
    {3, "path not found"},
    {5, "access denied"},
    {6, "invalid handle"},
    {8, "not enough memory"},
    {13, "invalid data"},
    {29, "write fault"},
    {30, "read fault"},
    {31, "device not functioning"},
    {32, "sharing violation"},
    {64, "network name deleted"},
    {87, "invalid parameter"},
    {112, "disk full"},
    {123, "invalid name"},
    {183, "already exists"},
    {206, "file name too long"},
    {223, "file too large"},
    {267, "is a directory"},
    {995, "operation aborted"},
    {1168, "not found"},
    {1223, "cancelled"},
    {1225, "connection refused"},
    {1236, "connection aborted"},
    {1460, "timed out"},
    {10004, "interrupted"},
    {10013, "access denied"},
    {10022, "invalid argument"},
    {10048, "address in use"},
    {10049, "address not available"},
    {10050, "network down"},
    {10051, "network unreachable"},
    {10053, "connection aborted"},
    {10054, "connection reset"},
    {10060, "timed out"},
    {10061, "connection refused"},
    {10065, "host unreachable"},
    {11001, "host not found"},
    {12002, "timed out"},
    {12004, "internal error"},
    {12005, "invalid URL"},
    {12006, "unrecognized scheme"},
    {12007, "name not resolved"},
    {12017, "operation cancelled"},
    {12029, "cannot connect"},
    {12030, "connection aborted"},
    {12031, "connection reset"},
    {12038, "certificate name invalid"},
    {12044, "client certificate needed"},
    {12045, "invalid certificate authority"},
    {12152, "invalid server response"},
    {12156, "redirect failed"},
    {12157, "security channel error"},
    {12175, "decoding failed"},
};

}  // namespace

const char* ErrorMeaning(unsigned long error) {
    for (const Meaning& meaning : kMeanings) {
        if (meaning.code == error)
            return meaning.text;
    }
    return "unknown error";
}

std::string ErrorLine(const std::string& command, unsigned long error, const std::string& detail) {
    std::string line = "vexlo: ";
    if (!command.empty())
        line += command + ": ";
    line += "error " + std::to_string(error) + " (" + ErrorMeaning(error) + ")";
    if (!detail.empty())
        line += ": " + detail;
    return line;
}

void Fail(unsigned long error, const std::string& detail) {
    throw Failure{kExitFailed, error ? error : static_cast<unsigned long>(ERROR_GEN_FAILURE),
                  detail};
}

void UsageError(const std::string& detail) {
    throw Failure{kExitUsage, ERROR_INVALID_PARAMETER, detail};
}

bool Options::Has(const std::string& name) const {
    for (const auto& value : values) {
        if (value.first == name)
            return true;
    }
    return false;
}

std::string Options::Get(const std::string& name, const std::string& fallback) const {
    std::string found = fallback;
    for (const auto& value : values) {
        if (value.first == name)
            found = value.second;  // the last one wins
    }
    return found;
}

Options ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                     const std::vector<std::string>& withValue) {
    Options options;
    bool onlyPositional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
            options.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        bool known = false;
        for (const std::string& flag : flags) {
            if (arg == flag) {
                options.values.emplace_back(arg, std::string());
                known = true;
            }
        }
        for (const std::string& option : withValue) {
            if (arg == option) {
                if (i + 1 >= args.size())
                    UsageError("option " + arg + " needs a value");
                options.values.emplace_back(arg, args[++i]);
                known = true;
            }
        }
        if (!known)
            UsageError("unknown option " + arg);
    }
    return options;
}

void ExpectPositional(const Options& options, size_t least, size_t most) {
    if (options.positional.size() < least)
        UsageError("missing arguments");
    if (options.positional.size() > most)
        UsageError("unexpected argument " + options.positional[most]);
}

unsigned short ParsePort(const std::string& text, bool allowZero) {
    char* end = nullptr;
    errno = 0;
    const long port = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
    if (port < (allowZero ? 0 : 1) || port > 65535 || errno != 0 || (end && *end))
        UsageError("bad port " + text);
    return static_cast<unsigned short>(port);
}

std::wstring Widen(const std::string& utf8) {
    std::wstring wide;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        unsigned long cp = 0xFFFD;
        size_t length = 1;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, cp = lead & 0x07;
        }
        if (length > 1) {
            bool ok = i + length <= utf8.size();
            for (size_t k = 1; ok && k < length; ++k) {
                const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
                ok = (next & 0xC0) == 0x80;
                cp = (cp << 6) | (next & 0x3F);
            }
            if (!ok)
                cp = 0xFFFD, length = 1;
        }
        i += length;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            wide.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            wide.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            wide.push_back(static_cast<wchar_t>(cp));
        }
    }
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    std::string out;
    for (size_t i = 0; i < wide.size(); ++i) {
        unsigned long cp = static_cast<unsigned long>(wide[i]) & 0xFFFFFFFFul;
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp < 0xDC00 && i + 1 < wide.size()) {
            const unsigned long low = static_cast<unsigned long>(wide[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

unsigned long ErrnoToWin32(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EISDIR:
            return 267;  // ERROR_DIRECTORY
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        case EFBIG:
            return 223;  // ERROR_FILE_TOO_LARGE
        case ENAMETOOLONG:
            return 206;  // ERROR_FILENAME_EXCED_RANGE
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return 30;  // ERROR_READ_FAULT
    }
}

FILE* OpenFile(const std::string& path, const char* mode) {
    errno = 0;
    FILE* file = _wfopen(Widen(path).c_str(), Widen(mode).c_str());
    if (!file) {
        // A file opened for writing need not exist: only its folder can be
        // missing, which Windows calls a missing path.
        const int error = errno ? errno : ENOENT;
        Fail(error == ENOENT && mode[0] != 'r' ? static_cast<unsigned long>(ERROR_PATH_NOT_FOUND)
                                               : ErrnoToWin32(error),
             path);
    }
    return file;
}

std::string ReadWholeFile(const std::string& path) {
    FILE* file = OpenFile(path, "rb");
    std::string data;
    char buffer[65536];
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof(buffer), file);
        data.append(buffer, n);
        if (n < sizeof(buffer))
            break;
    }
    const int error = std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    if (error)
        Fail(ErrnoToWin32(error), path);
    return data;
}

void WriteAll(FILE* file, const char* data, size_t length) {
    errno = 0;
    if (length && std::fwrite(data, 1, length, file) != length)
        Fail(errno == ENOSPC ? kErrorDiskFull : kErrorWriteFault, "cannot write the output");
}

namespace {
const wchar_t kClassName[] = L"VexloCommandLineHost";
const unsigned int kStopPollMs = 50;
}  // namespace

WindowHost::WindowHost() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    hwnd_ = CreateWindowExW(0, kClassName, L"vexlo", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                            nullptr);
    if (!hwnd_)
        Fail(GetLastError(), "cannot create the host window");
    VexloTool::CFuncDispatch::Instance().Init(hwnd_);
    // A signal handler may not touch the queue, so this thread looks.
    VexloTool::CFuncDispatch::StartTimer(
        kStopPollMs,
        [this] {
            if (stopping_ || !StopSignalled())
                return;
            stopping_ = true;
            if (onStop)
                onStop();
            else
                Quit(kExitInterrupted);
        },
        true);
}

WindowHost::~WindowHost() {
    VexloTool::CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd_);
    UnregisterClassW(kClassName, nullptr);
}

int WindowHost::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void WindowHost::Quit(int code) {
    PostQuitMessage(code);
}

unsigned long long Now() {
    return GetTickCount64();
}

std::string TimeStamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

Progress::Progress(const char* verb, bool quiet)
    : verb_(verb), quiet_(quiet), terminal_(IsTerminal(stderr)), start_(Now()) {
    lastPrint_ = start_;
}

void Progress::Update(unsigned long long done, unsigned long long total) {
    done_ = done;
    total_ = total;
}

void Progress::Tick() {
    const unsigned long long now = Now();
    if (quiet_ || now - lastPrint_ < (terminal_ ? 200u : 1000u))
        return;
    lastPrint_ = now;
    Print(false);
}

void Progress::Finish() {
    if (!quiet_)
        Print(true);
}

void Progress::Print(bool final) {
    const double seconds = (Now() - start_) / 1000.0;
    const double rate = seconds > 0 ? done_ / seconds : 0;
    std::string line = verb_;
    line += " " + std::to_string(done_);
    if (total_)
        line += " of " + std::to_string(total_) + " bytes (" +
                std::to_string(done_ * 100 / total_) + "%)";
    else
        line += " bytes";
    line += ", " + HumanBytes(rate) + "/s";
    if (final) {
        char text[32];
        std::snprintf(text, sizeof(text), ", %.1f s", seconds);
        line += text;
    } else if (total_ && rate > 0 && total_ > done_) {
        const unsigned long long left = static_cast<unsigned long long>((total_ - done_) / rate);
        char text[48];
        std::snprintf(text, sizeof(text), ", %llu:%02llu left", left / 60, left % 60);
        line += text;
    } else {
        line += ", time left unknown";
    }
    if (terminal_) {
        // Redrawn in place; padding wipes the tail of a longer previous line.
        const size_t width = line.size();
        if (width < lastWidth_)
            line.append(lastWidth_ - width, ' ');
        lastWidth_ = width;
        std::fprintf(stderr, "\r%s%s", line.c_str(), final ? "\n" : "");
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
}

bool WantsHelp(const std::vector<std::string>& args, const char* help) {
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(help, stdout);
            std::fputs(kExitCodeHelp, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace vexlo
