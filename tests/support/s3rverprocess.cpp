#include "tests/support/s3rverprocess.h"

S3rverProcess::S3rverProcess(const QString &bucket)
    : m_bucket(bucket), m_server(testsupport::ServerKind::s3rver(m_dir.path(), bucket))
{
}

bool S3rverProcess::start()
{
    if (testsupport::ServerKind::s3rver(m_dir.path(), m_bucket).program.isEmpty()) {
        m_error = QStringLiteral("s3rver is not installed (scripts/setup installs it)");
        return false;
    }
    return m_server.start(&m_error);
}

void S3rverProcess::stop()
{
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

int S3rverProcess::logCount(const QString &text)
{
    int count = 0;
    for (const QByteArray &line : log().split('\n'))
        if (line.contains(text.toUtf8()))
            ++count;
    return count;
}
