// qt_loop: drives the library's window-thread services from a Qt 5 event
// loop. A socket notifier watches the message queue's descriptor; when it
// fires, the queue is drained with PeekMessageW.
#include "../event_loop/loop_checks.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    QCoreApplication app(argc, argv);
    const int fd = VxGetMessageQueueFd();
    if (fd < 0) {
        std::printf("no message queue descriptor (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [] { loop_checks::Drain(); });
    QTimer::singleShot(20000, [] {
        std::printf("gave up waiting\n");
        QCoreApplication::quit();
    });
    if (loop_checks::Start(loop_checks::PeerUrl(argc, argv), [] { QCoreApplication::quit(); }))
        app.exec();
    return loop_checks::Finish();
}
