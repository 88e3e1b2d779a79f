#include "tests/support/s3rverprocess.h"

#include <QDir>
#include <QFile>

#include <ctime>

S3rverProcess::S3rverProcess(const QString &bucket)
    : m_bucket(bucket), m_server(testsupport::ServerKind::s3rver(m_dir.path() + "/data", bucket)),
      m_front(testsupport::ServerKind::storefront(), {}, m_dir.path() + "/front.log")
{
}

bool S3rverProcess::start()
{
    QDir().mkpath(m_dir.path() + "/data");
    if (testsupport::ServerKind::s3rver(m_dir.path(), m_bucket).program.isEmpty()) {
        m_error = QStringLiteral("s3rver is not installed (scripts/setup installs it)");
        return false;
    }
    if (!m_server.start(&m_error))
        return false;
    m_front.setArgs({QStringLiteral("--store"), m_server.url(), QStringLiteral("--bucket"), m_bucket,
                     QStringLiteral("--grant-secret"), QString::fromStdString(grantSecret())});
    return m_front.start(&m_error);
}

void S3rverProcess::stop()
{
    if (m_front.running())
        m_front.terminate();
    if (m_server.running())
        m_server.terminate();
}

QByteArray S3rverProcess::log()
{
    while (m_server.process.waitForReadyRead(0))
        ;
    m_log += m_server.process.readAllStandardOutput();
    return m_log;
}

QByteArray S3rverProcess::frontLog() const
{
    QFile file(m_dir.path() + "/front.log");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int S3rverProcess::logCount(const QString &text)
{
    int count = 0;
    for (const QByteArray &line : log().split('\n'))
        if (line.contains(text.toUtf8()))
            ++count;
    return count;
}

storegrant::Grant S3rverProcess::grant(const std::string &prefix, const std::string &ops, qint64 seconds)
{
    return storegrant::mint(grantSecret(), prefix, ops, int64_t(std::time(nullptr)) + seconds);
}
