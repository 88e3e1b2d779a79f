#pragma once

#include "tests/support/serverprocess.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <httplib.h>

#include <memory>

// A pelomir-provider process on a free port, and requests to it shaped as the desktop client
// shapes them: form bodies built with QUrlQuery's pretty-decoded text plus the common items,
// and the raw token in "Authorization".
class ProviderProcess
{
public:
    ProviderProcess(QString dbPath, QStringList extraArgs = {});

    bool start(QString *error = nullptr);
    int terminate() { return server_.terminate(); }
    void kill() { server_.kill(); }
    int port() const { return server_.port(); }
    QString baseUrl() const { return server_.url(); }
    QString logText() const;

    QJsonObject post(const QString &path, const QMap<QString, QString> &params,
                     const QString &token = {}) const;
    QJsonObject get(const QString &pathWithQuery, const QString &token = {}) const;
    std::unique_ptr<httplib::Client> client() const;

    // Logs in and returns the token, or an empty string.
    QString login(const QString &phone, const QString &password) const;
    QString lastSmsCode(const QString &phone) const;
    // Registers a new account through an SMS code; returns its token.
    QString registerUser(const QString &phone, const QString &password) const;

    static QByteArray clientBody(const QMap<QString, QString> &params);
    static QJsonObject parse(const httplib::Result &res);

private:
    QString dbPath_;
    QString logPath_;
    testsupport::ServerProcess server_;
};
