#pragma once

#include "server/storefront/grant.h"
#include "tests/support/serverprocess.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// An s3rver object store on 127.0.0.1 and a free port, with one bucket, its data in a temporary
// directory, and the store front before it on a port of its own: endpoint() is the front, which
// clients and phones use; storeEndpoint() is s3rver itself, which only the front should reach. The
// store's standard output is kept: it logs every stored object and part.
class S3rverProcess
{
public:
    explicit S3rverProcess(const QString &bucket = QStringLiteral("pelomir-uploads"));

    // Starts both and waits until they listen; false (with the reason in error()) when one does not.
    bool start();
    void stop();
    int port() const { return m_front.port(); }
    QString endpoint() const { return m_front.url(); }
    QString storeEndpoint() const { return m_server.url(); }
    QString bucket() const { return m_bucket; }
    QString error() const { return m_error; }
    // Lines of the store's log so far that contain `text`.
    int logCount(const QString &text);
    QByteArray log();
    // What the front refused, one line each.
    QByteArray frontLog() const;

    // The secret the front checks grants with (the development default, which the provider shares).
    static std::string grantSecret() { return "pelomir-dev-store-grant-secret"; }
    // A grant as the provider mints them, over `prefix`, valid `seconds` from now (negative: expired).
    static storegrant::Grant grant(const std::string &prefix, const std::string &ops = "rw",
                                   qint64 seconds = 3600);

private:
    QString m_bucket;
    QTemporaryDir m_dir;
    testsupport::ServerProcess m_server;
    testsupport::ServerProcess m_front;
    QByteArray m_log;
    QString m_error;
};
