// console_posix.cpp: the console seam of vexlo on Linux: arguments, stop
// signals, terminals and the raw standard input.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "tools/vexlo/vexlo.h"

namespace vexlo {

namespace {
// Set by the signal thread, read by the window thread.
std::atomic<bool> g_stop{false};
}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);  // already UTF-8
}

// The signals are blocked before any other thread exists, so every thread
// the library starts inherits the mask and no wait of the platform layer is
// ever interrupted; one thread takes them with sigwait.
void InstallStopHandler() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0)
                g_stop = true;
        }
    }).detach();
}

bool StopSignalled() {
    return g_stop.load();
}

bool IsTerminal(FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

void SetBinary(FILE*) {}

long ReadStandardInput(char* buffer, unsigned long size, unsigned long& error) {
    for (;;) {
        const ssize_t n = read(0, buffer, size);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR) {
            error = ErrnoToWin32(errno);
            return -1;
        }
    }
}

void RemoveFile(const std::string& path) {
    std::remove(path.c_str());
}

std::wstring FullPath(const std::wstring& path) {
    return path;
}

}  // namespace vexlo
