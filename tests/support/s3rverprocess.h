#pragma once

#include "tests/support/serverprocess.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// An s3rver object store on 127.0.0.1 and a free port, with one bucket, its data in a temporary
// directory. Its standard output is kept: it logs every stored object and part.
class S3rverProcess
{
public:
    explicit S3rverProcess(const QString &bucket = QStringLiteral("pelomir-uploads"));

    // Starts it and waits until it listens; false (with the reason in error()) when it does not.
    bool start();
    void stop();
    int port() const { return m_server.port(); }
    QString endpoint() const { return m_server.url(); }
    QString bucket() const { return m_bucket; }
    QString error() const { return m_error; }
    // Lines of its log so far that contain `text`.
    int logCount(const QString &text);
    QByteArray log();

private:
    QString m_bucket;
    QTemporaryDir m_dir;
    testsupport::ServerProcess m_server;
    QByteArray m_log;
    QString m_error;
};
