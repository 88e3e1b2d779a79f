#include "ui/mainwindowhandle.h"

#include "platform/windowmessage.h"

#include <QWidget>

#include <mutex>

namespace {

std::mutex handleLock;
QWidget *handle = nullptr;

} // namespace

void setMainWindowHandle(QWidget *window)
{
    std::lock_guard<std::mutex> locker(handleLock);
    handle = window;
}

QWidget *mainWindowHandle()
{
    std::lock_guard<std::mutex> locker(handleLock);
    return handle;
}

bool postToMainWindow(int message, QByteArray buffer)
{
    // postEvent only queues the event and runs no user code, so the lock is held for an instant.
    std::lock_guard<std::mutex> locker(handleLock);
    if (!handle)
        return false;
    platform::postWindowMessage(handle, message, std::move(buffer));
    return true;
}
