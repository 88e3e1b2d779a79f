#include "platform/termination.h"

#include <QObject>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef Q_OS_UNIX
namespace {

int wakeFds[2] = {-1, -1};
std::atomic<int> received{0};

// Signal context: only async-signal-safe calls.
extern "C" void onSignal(int signo)
{
    if (received.fetch_add(1) > 0)
        _exit(128 + signo);
    const char byte = char(signo);
    const ssize_t ignored = write(wakeFds[1], &byte, 1);
    (void)ignored;
}

} // namespace

void quitOnTerminationSignal(QObject *context, std::function<void()> quit)
{
    if (wakeFds[0] >= 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds) != 0)
        return;
    fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
    auto *notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, quit = std::move(quit)] {
        char byte = 0;
        if (read(wakeFds[0], &byte, 1) != 1)
            return;
        notifier->setEnabled(false);
        quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signo, &action, nullptr);
}
#else
void quitOnTerminationSignal(QObject *, std::function<void()>) {}
#endif

} // namespace platform
