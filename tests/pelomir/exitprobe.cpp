// Quits the way the program does, with the real process-wide objects, while pool tasks that use the
// account model and the session manager are still running and queued behind them.
#include "api/userinfo.h"
#include "app/globals.h"
#include "phone/sdkmanager.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

std::atomic<int> started{0};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();

    userInfo *info = g_userInfo;
    const std::weak_ptr<userInfo> model = g_userInfoHolder;
    const int workers = g_threadPool.workerCount();
    for (int i = 0; i < 3 * workers; ++i) {
        g_threadPool.commit([info, model] {
            ++started;
            // Still at work when main returns.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (model.expired()) {
                std::fprintf(stderr, "account model destroyed under a pool task\n");
                std::_Exit(3);
            }
            info->mayOperate(1);
            sdkManager.phoneCount();
            std::fprintf(stderr, "task finished\n");
        });
    }
    while (started.load() < workers)
        std::this_thread::yield();
    sdkManager.addPhone(1, QStringLiteral("probe-1"), QStringLiteral("probe-credential"),
                        QStringLiteral("probe"));
    std::fprintf(stderr, "quitting with %d workers busy\n", workers);
    return 0;
}
