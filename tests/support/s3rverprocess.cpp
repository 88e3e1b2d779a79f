#include "tests/support/s3rverprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QStandardPaths>

S3rverProcess::S3rverProcess(const QString &bucket) : m_bucket(bucket) {}

S3rverProcess::~S3rverProcess()
{
    stop();
}

bool S3rverProcess::start()
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("s3rver"));
    if (exe.isEmpty()) {
        m_error = QStringLiteral("s3rver is not installed (scripts/setup installs it)");
        return false;
    }
    m_process.setProgram(exe);
    m_process.setArguments({QStringLiteral("-d"), m_dir.path(), QStringLiteral("-a"),
                            QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QStringLiteral("0"),
                            QStringLiteral("--configure-bucket"), m_bucket});
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start();
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (m_process.state() == QProcess::NotRunning)
                break;
            continue;
        }
        m_log += m_process.readAll();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(m_log));
        if (match.hasMatch()) {
            m_port = match.captured(1).toInt();
            return true;
        }
    }
    m_error = QStringLiteral("s3rver did not start: ") + QString::fromUtf8(m_log);
    return false;
}

void S3rverProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray S3rverProcess::log()
{
    while (m_process.waitForReadyRead(0))
        ;
    m_log += m_process.readAll();
    return m_log;
}

int S3rverProcess::logCount(const QString &text)
{
    int count = 0;
    for (const QByteArray &line : log().split('\n'))
        if (line.contains(text.toUtf8()))
            ++count;
    return count;
}
