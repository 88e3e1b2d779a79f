#include "app/logging.h"

#include <QFile>
#include <QFileInfo>

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    const QString line = qFormatLogMessage(QtDebugMsg, context, message) + QStringLiteral("\r\n");
    QFile file(logFilePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(line.toLocal8Bit());
}

bool installLogIfPresent(const QString &path)
{
    if (!QFileInfo::exists(path))
        return false;
    qSetMessagePattern(QString::fromLatin1(logMessagePattern));
    qInstallMessageHandler(logMessageHandler);
    return true;
}
