// glib_loop: drives the library's window-thread services from a GLib main
// loop. The message queue's descriptor is one more source of the loop;
// when it is readable, the loop drains the queue with PeekMessageW.
#include "../event_loop/loop_checks.h"

#include <glib-unix.h>
#include <glib.h>

namespace {

GMainLoop* loop = nullptr;

gboolean OnQueue(gint, GIOCondition, gpointer) {
    loop_checks::Drain();
    return G_SOURCE_CONTINUE;
}

gboolean OnGiveUp(gpointer) {
    std::printf("gave up waiting\n");
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    loop = g_main_loop_new(nullptr, FALSE);
    const int fd = VxGetMessageQueueFd();
    if (fd < 0) {
        std::printf("no message queue descriptor (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    const guint queueSource = g_unix_fd_add(fd, G_IO_IN, OnQueue, nullptr);
    const guint giveUp = g_timeout_add_seconds(20, OnGiveUp, nullptr);
    if (loop_checks::Start(loop_checks::PeerUrl(argc, argv), [] { g_main_loop_quit(loop); }))
        g_main_loop_run(loop);
    g_source_remove(giveUp);
    g_source_remove(queueSource);
    g_main_loop_unref(loop);
    return loop_checks::Finish();
}
