// vexlo.h: what the commands of the vexlo command-line host share: the
// window thread and its message loop, errors with Win32 codes and exit codes,
// option parsing, file helpers and the console seam (console_*.cpp).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "vxplatform.h"

namespace vexlo {

// Exit codes scripts can rely on.
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,        // the operation failed; stderr names the Win32 error
    kExitUsage = 2,         // bad command line (error 87)
    kExitHttpStatus = 3,    // the server answered with a status outside 200-299
    kExitInterrupted = 130  // Ctrl-C, SIGINT or SIGTERM before the work was done
};

extern const char kExitCodeHelp[];

// Win32 codes the platform header need not name on every target.
const unsigned long kErrorWriteFault = 29;
const unsigned long kErrorDiskFull = 112;
const unsigned long kErrorFileTooLarge = 223;
const unsigned long kErrorNotFound = 1168;
const unsigned long kErrorCancelled = 1223;

// Ends a command: caught by main, which prints one line
// "vexlo: COMMAND: error CODE (meaning)[: detail]" and exits with exitCode.
struct Failure {
    int exitCode;
    unsigned long error;
    std::string detail;
};
[[noreturn]] void Fail(unsigned long error, const std::string& detail = std::string());
[[noreturn]] void UsageError(const std::string& detail);
// A short meaning of a Win32, Winsock or WinINet error code.
const char* ErrorMeaning(unsigned long error);
// The one line main prints for a failure.
std::string ErrorLine(const std::string& command, unsigned long error, const std::string& detail);

// Command line of one command: options it knows, the rest positional.
struct Options {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> values;  // option, value
    bool Has(const std::string& name) const;
    std::string Get(const std::string& name, const std::string& fallback = std::string()) const;
};
// Option names are given with their dashes; those in withValue take the next
// argument. "--" ends the options; "-" alone is positional.
Options ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                     const std::vector<std::string>& withValue);
void ExpectPositional(const Options& options, size_t least, size_t most);
unsigned short ParsePort(const std::string& text, bool allowZero);

// Text conversions: arguments are UTF-8 (see CommandLine); the library
// speaks wide strings.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// Files by UTF-8 name ("-" is never special here). Failures throw Failure.
FILE* OpenFile(const std::string& path, const char* mode);
std::string ReadWholeFile(const std::string& path);
unsigned long ErrnoToWin32(int error);
void WriteAll(FILE* file, const char* data, size_t length);

// The window thread: a message-only window handed to CFuncDispatch and the
// message loop that serves it. A stop request (Ctrl-C, SIGINT, SIGTERM) is
// seen by a timer on this thread and calls onStop (the default quits with
// kExitInterrupted).
class WindowHost {
public:
    WindowHost();
    ~WindowHost();
    WindowHost(const WindowHost&) = delete;
    WindowHost& operator=(const WindowHost&) = delete;

    // Runs the loop until Quit or a stop; returns the code given to Quit.
    int Run();
    static void Quit(int code);
    bool StopRequested() const { return stopping_; }
    std::function<void()> onStop;

private:
    HWND hwnd_ = nullptr;
    bool stopping_ = false;
};

// Milliseconds for durations and rates.
unsigned long long Now();
// "2026-12-10 02:41:29.123", local time.
std::string TimeStamp();
// "1.5 MiB" and friends.
std::string HumanBytes(double bytes);

// Progress of a transfer on stderr: one line redrawn on a terminal, plain
// lines once a second otherwise.
class Progress {
public:
    Progress(const char* verb, bool quiet);
    void Update(unsigned long long done, unsigned long long total);
    void Tick();    // from a timer
    void Finish();  // the last line
    unsigned long long Done() const { return done_; }
    unsigned long long Elapsed() const { return Now() - start_; }

private:
    void Print(bool final);
    const char* verb_;
    bool quiet_;
    bool terminal_;
    unsigned long long done_ = 0, total_ = 0, start_, lastPrint_ = 0;
    size_t lastWidth_ = 0;
};

// The console seam, one file per target.
std::vector<std::string> CommandLine(int argc, char** argv);
void InstallStopHandler();
bool StopSignalled();
bool IsTerminal(FILE* stream);
void SetBinary(FILE* stream);
// Bytes read (> 0), 0 at the end of input, -1 on failure (Win32 code in error).
long ReadStandardInput(char* buffer, unsigned long size, unsigned long& error);
void RemoveFile(const std::string& path);
// An absolute path for the profile functions (Windows resolves a relative
// profile name against its own folder, not the current one).
std::wstring FullPath(const std::wstring& path);

// The commands; each returns its exit code or throws Failure.
int CmdGet(const std::vector<std::string>& args);
int CmdUpload(const std::vector<std::string>& args);
int CmdServe(const std::vector<std::string>& args);
int CmdConnect(const std::vector<std::string>& args);
int CmdMonitor(const std::vector<std::string>& args);
int CmdCrc32(const std::vector<std::string>& args);
int CmdBase64(const std::vector<std::string>& args);
int CmdIni(const std::vector<std::string>& args);

// Prints a command's help when its arguments ask for it; true then.
bool WantsHelp(const std::vector<std::string>& args, const char* help);

}  // namespace vexlo
