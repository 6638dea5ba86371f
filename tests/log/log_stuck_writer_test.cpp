// log_stuck_writer_test.cpp: UnInit stays bounded while the writer thread is
// stuck in a write that does not return (a pipe nobody reads; the same holds
// for a hung network share). Linux only: it needs a named pipe.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "VexloTool/VXLogWrapper.h"
#include "support/wait.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using VexloTool::CVXLogWrapper;

TEST(LogStuckWriter, UnInitStaysBoundedAndLeavesTheBacklogToTheWriter) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path pipe = fs::temp_directory_path() / ("vx_log_pipe_" + std::to_string(stamp));
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    // Opened first, so the log's open of the pipe does not wait for a reader;
    // then never read until the end.
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    signal(SIGPIPE, SIG_IGN);  // the writer's last write meets a closed pipe

    CVXLogWrapper& log = CVXLogWrapper::Instance();
    ASSERT_TRUE(log.Init(pipe.wstring().c_str()));
    // Far more than the pipe and the stream buffer hold: the writer blocks.
    const std::wstring line(1000, L'x');
    for (int i = 0; i < 1000; ++i)
        log.WriteLog(VexloTool::VXLOG_ERROR, L"%s", line.c_str());

    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        log.UnInit();
        returned = true;
    });
    // The stop bound is about 3 s; a generous deadline on top.
    const bool bounded =
        vxtest::WaitUntil([&] { return returned.load(); }, std::chrono::milliseconds(20000));
    close(reader);  // whatever still writes fails now instead of blocking
    stopper.join();
    EXPECT_TRUE(bounded);
    fs::remove(pipe);
}

}  // namespace
#endif
