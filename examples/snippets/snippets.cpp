// Builds every snippet of the guide into one program, so the heavy headers
// are compiled once: `vx_snippets NAME [ARGS]` runs the snippet NAME.cpp.
#include <cstdio>
#include <cstring>

#define main dispatch_main
#include "dispatch.cpp"
#undef main
#define main pool_main
#include "pool.cpp"
#undef main
#define main http_main
#include "http.cpp"
#undef main
#define main sockets_main
#include "sockets.cpp"
#undef main
#define main monitor_main
#include "monitor.cpp"
#undef main
#define main log_main
#include "log.cpp"
#undef main
#define main util_main
#include "util.cpp"
#undef main

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: vx_snippets dispatch|pool|http|sockets|monitor|log|util [ARGS]\n");
        return 2;
    }
    const char* name = argv[1];
    if (!std::strcmp(name, "dispatch"))
        return dispatch_main();
    if (!std::strcmp(name, "pool"))
        return pool_main();
    if (!std::strcmp(name, "http"))
        return http_main(argc - 1, argv + 1);
    if (!std::strcmp(name, "sockets"))
        return sockets_main();
    if (!std::strcmp(name, "monitor"))
        return monitor_main(argc - 1, argv + 1);
    if (!std::strcmp(name, "log"))
        return log_main();
    if (!std::strcmp(name, "util"))
        return util_main();
    std::printf("no snippet %s\n", name);
    return 2;
}
