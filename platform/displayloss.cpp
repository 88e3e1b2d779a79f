#include "platform/displayloss.h"

#include <QString>
#include <QtGlobal>

#include <unistd.h>

namespace platform {

namespace {

QtMessageHandler previous = nullptr; // set before the handler is installed, read-only after

// Any thread that logs; takes no lock of its own.
void onMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    previous(type, context, message);
    // The X11 plugin's last words before it calls exit(1).
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")))
        _exit(1);
}

} // namespace

void endAtOnceWhenDisplayLost()
{
    if (previous)
        return;
    previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(onMessage);
}

} // namespace platform
