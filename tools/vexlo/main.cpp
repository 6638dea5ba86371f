// vexlo: a command-line host of the library. Each command runs on a real
// window thread (a message-only window and its GetMessageW loop) where the
// library delivers its notifications, exactly as a desktop host receives them.
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "tools/vexlo/vexlo.h"

using namespace vexlo;

namespace {

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* summary;
};

const Command kCommands[] = {
    {"get", CmdGet, "get URL [-o FILE]            download (to standard output by default)"},
    {"upload", CmdUpload, "upload URL FILE [--field NAME]  upload a file as multipart/form-data"},
    {"serve", CmdServe, "serve --port N [--bind ADDR]  echo server over TCP"},
    {"connect", CmdConnect, "connect HOST PORT            standard input to a TCP peer and back"},
    {"monitor", CmdMonitor, "monitor [--url URL]          report network availability changes"},
    {"crc32", CmdCrc32, "crc32 FILE...                CRC-32 of files"},
    {"base64", CmdBase64, "base64 [-d] FILE             Base64 encode or decode"},
    {"ini", CmdIni, "ini get|set|delete FILE SECTION KEY [VALUE]  INI settings"},
};

void PrintHelp() {
    std::puts(
        "usage: vexlo COMMAND [ARGS]    (vexlo COMMAND --help for one command)\n\n"
        "Commands:");
    for (const Command& command : kCommands)
        std::printf("  %s\n", command.summary);
    std::puts("");
    std::fputs(kExitCodeHelp, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    InstallStopHandler();
    const std::vector<std::string> args = CommandLine(argc, argv);
    std::string name;
    try {
        if (args.empty())
            UsageError("no command; see vexlo --help");
        if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
            PrintHelp();
            return kExitOk;
        }
        for (const Command& command : kCommands) {
            if (args[0] == command.name) {
                name = command.name;
                const int code =
                    command.run(std::vector<std::string>(args.begin() + 1, args.end()));
                std::fflush(stdout);
                return code;
            }
        }
        UsageError("unknown command " + args[0] + "; see vexlo --help");
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::string line = ErrorLine(name, failure.error, failure.detail);
        if (failure.exitCode == kExitUsage && !name.empty())
            line += "; see vexlo " + name + " --help";
        std::fprintf(stderr, "%s\n", line.c_str());
        return failure.exitCode;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s\n", ErrorLine(name, ERROR_NOT_ENOUGH_MEMORY, "").c_str());
        return kExitFailed;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", ErrorLine(name, ERROR_GEN_FAILURE, error.what()).c_str());
        return kExitFailed;
    }
}
