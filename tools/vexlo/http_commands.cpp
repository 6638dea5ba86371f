// http_commands.cpp: get and upload, through CHttpFactory: the run happens
// on a pool worker, every notice arrives on this thread's window.
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/HttpFactory.h"
#include "VexloTool/ThreadPool.h"
#include "tools/vexlo/vexlo.h"

using namespace VexloTool;

namespace vexlo {

namespace {

const char kGetHelp[] =
    "usage: vexlo get URL [-o FILE] [-q]\n"
    "Downloads URL (http or https) to FILE, or to standard output. A progress line\n"
    "(bytes, rate, time left) goes to standard error, redrawn on a terminal and\n"
    "once a second otherwise; at the end the status, the error code and the\n"
    "response headers follow there. -q prints neither.\n"
    "FILE is removed again when the download fails, is interrupted, or the status\n"
    "is outside 200-299.\n\n";

const char kUploadHelp[] =
    "usage: vexlo upload URL FILE [--field NAME] [-q]\n"
    "Uploads FILE as the file part NAME (default \"file\") of a multipart/form-data\n"
    "POST to URL and writes the response body to standard output. Progress and\n"
    "the final status, error code and headers go to standard error as for get.\n\n";

// Pool, factory and window thread, set up and torn down in the order the
// library asks for: the factory stops before the pool and the dispatcher.
class HttpSession {
public:
    HttpSession() {
        CThreadPool::Instance().Init(2);
        CHttpFactory::Instance().Init();
        request = CHttpFactory::Instance().CreateWebRequest();
    }
    ~HttpSession() {
        CHttpFactory::Instance().ReleaseWebRequest(request);
        CHttpFactory::Instance().UnInit();
        CThreadPool::Instance().Stop();
        CThreadPool::Instance().UnInit();
    }
    WindowHost host;  // first in, last out: the dispatcher outlives the rest
    CHttpClient* request = nullptr;
};

struct Outcome {
    bool finished = false;
    unsigned long error = 0;
    unsigned long status = 0;
    unsigned long writeError = 0;  // the output could not take a chunk
};

void PrintSummary(CHttpClient& request, const Outcome& outcome) {
    std::fprintf(stderr, "status %lu, error %lu (%s)\n", outcome.status, outcome.error,
                 ErrorMeaning(outcome.error));
    std::string headers = Narrow(request.GetRspHeader() ? request.GetRspHeader() : L"");
    std::string line;
    for (char c : headers + "\n") {
        if (c == '\r')
            continue;
        if (c == '\n') {
            if (!line.empty())
                std::fprintf(stderr, "  %s\n", line.c_str());
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    std::fflush(stderr);
}

// How long an interrupted run may take to give up once its handles close.
const DWORD kStopBoundMs = 3000;

// Ends an interrupted run. Closing the handles makes a blocked read fail at
// once on Linux; WinINet (Wine's at least) lets the close wait for the read
// instead, which can take the whole receive time-out. Past the bound the
// process ends here, after the partial output is gone.
int Interrupted(HttpSession& session, const Outcome& outcome, const char* command,
                const std::function<void()>& discard) {
    session.request->Close();
    const DWORD start = GetTickCount();
    while (!outcome.finished && GetTickCount() - start < kStopBoundMs) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (!outcome.finished && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT)
                DispatchMessageW(&msg);
        }
    }
    std::fprintf(stderr, "%s\n", ErrorLine(command, kErrorCancelled, "interrupted").c_str());
    if (!outcome.finished) {
        discard();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(kExitInterrupted);
    }
    return kExitInterrupted;
}

// Runs a request already configured; returns the exit code or throws.
// discard removes the partial output.
int RunRequest(HttpSession& session, EHttpRequestType type, const std::string& url,
               Outcome& outcome, Progress& progress, bool quiet, const char* command,
               const std::function<void()>& discard) {
    long progressTimer = CFuncDispatch::StartTimer(
        200, [&progress] { progress.Tick(); }, true);
    session.request->Request(type, Widen(url).c_str(),
                             [&outcome](unsigned long error, unsigned long status) {
                                 outcome.finished = true;
                                 outcome.error = error;
                                 outcome.status = status;
                                 WindowHost::Quit(kExitOk);
                             });
    const int loop = session.host.Run();
    CFuncDispatch::StopTimer(progressTimer);
    if (!outcome.finished || loop == kExitInterrupted)
        return Interrupted(session, outcome, command, discard);
    progress.Finish();
    if (!quiet)
        PrintSummary(*session.request, outcome);
    if (outcome.writeError)
        Fail(outcome.writeError, "cannot write the output");
    if (outcome.error)
        Fail(outcome.error, url);
    if (outcome.status < 200 || outcome.status > 299) {
        std::fprintf(stderr, "vexlo: status %lu from %s\n", outcome.status, url.c_str());
        return kExitHttpStatus;
    }
    return kExitOk;
}

// The output file of a download: removed unless the download succeeded.
class Output {
public:
    explicit Output(const std::string& path) : path_(path) {
        if (path.empty()) {
            SetBinary(stdout);
            file_ = stdout;
        } else {
            file_ = OpenFile(path, "wb");
        }
    }
    ~Output() { Close(); }
    void Close() {
        if (file_ && file_ != stdout && std::fclose(file_) != 0)
            kept_ = false;
        file_ = nullptr;
        if (!kept_ && !path_.empty())
            RemoveFile(path_);
        path_.clear();
    }
    FILE* file() const { return file_; }
    void Keep() { kept_ = true; }

private:
    std::string path_;
    FILE* file_;
    bool kept_ = false;
};

}  // namespace

int CmdGet(const std::vector<std::string>& args) {
    if (WantsHelp(args, kGetHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {"-q", "--quiet"}, {"-o", "--output"});
    ExpectPositional(options, 1, 1);
    const std::string url = options.positional[0];
    const bool quiet = options.Has("-q") || options.Has("--quiet");
    const std::string path = options.Get("-o", options.Get("--output"));
    if (options.Has("-o") || options.Has("--output")) {
        if (path.empty())
            UsageError("empty output file name");
    }

    Output output(path);
    Progress progress("received", quiet);
    Outcome outcome;
    int code = kExitOk;
    {
        HttpSession session;
        CHttpClient* request = session.request;
        FILE* file = output.file();
        request->SetRecvCallbck([&, request, file](unsigned long, unsigned long, const char* data,
                                                   unsigned int length) {
            if (outcome.writeError || length == 0)
                return;
            // Flushed at once: a stalled download shows what it has so far.
            if (std::fwrite(data, 1, length, file) != length || std::fflush(file) != 0) {
                outcome.writeError = kErrorWriteFault;
                request->Close();  // the run fails promptly
                return;
            }
            // The length is set before the first chunk is posted.
            progress.Update(progress.Done() + length, request->GetContentLength());
        });
        code = RunRequest(session, eHttpGet, url, outcome, progress, quiet, "get",
                          [&output] { output.Close(); });
    }
    if (code == kExitInterrupted)
        return code;
    if (std::fflush(output.file()) != 0)
        Fail(kErrorWriteFault, "cannot write the output");
    if (code == kExitOk)
        output.Keep();
    return code;
}

int CmdUpload(const std::vector<std::string>& args) {
    if (WantsHelp(args, kUploadHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {"-q", "--quiet"}, {"--field"});
    ExpectPositional(options, 2, 2);
    const std::string url = options.positional[0];
    const std::string path = options.positional[1];
    const bool quiet = options.Has("-q") || options.Has("--quiet");
    const std::string field = options.Get("--field", "file");
    if (field.empty())
        UsageError("empty field name");

    // The size is the progress total; opening it here also reports a missing
    // or unreadable file before anything is sent.
    FILE* file = OpenFile(path, "rb");
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    const size_t slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    SetBinary(stdout);
    Progress progress("sent", quiet);
    Outcome outcome;
    int code = kExitOk;
    {
        HttpSession session;
        CHttpClient* request = session.request;
        request->SetPostFile(Widen(field).c_str(), Widen(name).c_str(), Widen(path).c_str(),
                             L"application/octet-stream");
        request->SetPostCallbck(
            [&progress, size](unsigned long, unsigned long, unsigned long sent) {
                progress.Update(sent, size > 0 ? static_cast<unsigned long long>(size) : 0);
            });
        request->SetRecvCallbck(
            [&outcome](unsigned long, unsigned long, const char* data, unsigned int length) {
                if (length && std::fwrite(data, 1, length, stdout) != length)
                    outcome.writeError = kErrorWriteFault;
            });
        code = RunRequest(session, eHttpUpload, url, outcome, progress, quiet, "upload", [] {});
    }
    return code;
}

}  // namespace vexlo
