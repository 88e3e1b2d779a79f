#include "app/logging.h"

#include "platform/appendfile.h"

#include <QFileInfo>

#include <mutex>

namespace {

struct LogSink
{
    std::mutex lock; // serialises appends, so lines stay whole and in order per thread
    platform::AppendFile file{logFilePath};
};

// Never destroyed: pool and library threads may still log while static destructors run at exit, and
// the system closes the file. Made when the handler is installed, so no line reads logFilePath, which
// is destroyed at exit.
LogSink &sink()
{
    static LogSink *const instance = new LogSink;
    return *instance;
}

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    const QByteArray line =
        (qFormatLogMessage(QtDebugMsg, context, message) + QStringLiteral("\r\n")).toLocal8Bit();
    LogSink &log = sink();
    const std::lock_guard<std::mutex> hold(log.lock);
    log.file.append(line);
}

bool installLogIfPresent(const QString &path)
{
    if (!QFileInfo::exists(path))
        return false;
    sink();
    qSetMessagePattern(QString::fromLatin1(logMessagePattern));
    qInstallMessageHandler(logMessageHandler);
    return true;
}
