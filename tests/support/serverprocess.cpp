#include "tests/support/serverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace testsupport {

QString binDir()
{
    const QString override = qEnvironmentVariable("PELOMIR_BIN_DIR");
    if (!override.isEmpty())
        return override;
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
}

ServerKind ServerKind::provider()
{
    return {QStringLiteral("pelomir-provider"),
            {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")},
            {QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)")}};
}

ServerKind ServerKind::farm()
{
    return {
        QStringLiteral("pelomir-phonefarm"),
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--admin-listen"),
         QStringLiteral("127.0.0.1:0")},
        {QStringLiteral("^gateway on [0-9.]+:(\\d+)"), QStringLiteral("^admin on http://[0-9.]+:(\\d+)")}};
}

ServerKind ServerKind::s3rver(const QString &dataDir, const QString &bucket)
{
    return {QStandardPaths::findExecutable(QStringLiteral("s3rver")),
            {QStringLiteral("-a"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QStringLiteral("0"),
             QStringLiteral("-d"), dataDir, QStringLiteral("--configure-bucket"), bucket},
            {QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")}};
}

ServerKind ServerKind::storefront()
{
    return {QStringLiteral("pelomir-storefront"),
            {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")},
            {QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)")}};
}

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

ServerProcess::ServerProcess(ServerKind kind, QStringList args, QString logPath)
    : kind_(std::move(kind)), args_(std::move(args)), logPath_(std::move(logPath))
{
}

ServerProcess::~ServerProcess()
{
    if (running())
        kill();
}

bool ServerProcess::start(QString *error)
{
    const QString program =
        QDir::isAbsolutePath(kind_.program) ? kind_.program : binDir() + QLatin1Char('/') + kind_.program;
    const QString logPath = logPath_.isEmpty() ? qEnvironmentVariable("PELOMIR_SERVER_LOG") : logPath_;
    if (logPath.isEmpty())
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        process.setStandardErrorFile(logPath, QIODevice::Append);
    process.start(program, kind_.freePortArgs + args_);
    ports_.clear();
    QString seen;
    QDeadlineTimer deadline(120000); // seeding a large account takes a while
    while (ports_.size() < kind_.addressLines.size() && !deadline.hasExpired()) {
        if (!process.canReadLine() && !process.waitForReadyRead(100) && !running())
            break;
        while (process.canReadLine() && ports_.size() < kind_.addressLines.size()) {
            const QString line = QString::fromUtf8(process.readLine());
            seen += line;
            const auto match = QRegularExpression(kind_.addressLines[ports_.size()]).match(line);
            if (match.hasMatch())
                ports_.append(match.captured(1).toInt());
        }
    }
    if (ports_.size() == kind_.addressLines.size())
        return true;
    if (error)
        *error = QStringLiteral("%1 did not start (%2): '%3'").arg(program, process.errorString(), seen);
    kill();
    return false;
}

int ServerProcess::terminate()
{
    process.terminate();
    if (!process.waitForFinished(10000)) {
        kill();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void ServerProcess::kill()
{
    process.kill();
    process.waitForFinished(10000);
}

} // namespace testsupport
