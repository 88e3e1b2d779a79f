#pragma once

// A real pelomir-phonefarm on free ports for tests and benchmarks, and signed admin calls to it.

#include "tests/support/credential.h"
#include "tests/support/serverprocess.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace harness {

using testsupport::binDir;

class Farm
{
public:
    // Starts the farm on free ports with `extra` arguments and reads its two address lines. With
    // `logPath` the farm's log goes to that file, else to the caller's standard error.
    bool start(const QStringList &extra = {}, const QString &logPath = {})
    {
        server_.setArgs(extra);
        server_.setLogPath(logPath);
        if (!server_.start())
            return false;
        port = quint16(server_.port(0));
        adminPort = server_.port(1);
        return true;
    }

    void stop()
    {
        if (server_.running())
            server_.terminate();
    }

    // A signed admin call; returns the HTTP status (0 when unreachable) and the JSON answer.
    int admin(const char *method, const QByteArray &target, QJsonObject *answer = nullptr,
              const QByteArray &secret = kSecret, qint64 skew = 0) const
    {
        QByteArray body;
        const int status = adminRaw(method, target, &body, secret, skew);
        if (status && answer)
            *answer = QJsonDocument::fromJson(body).object();
        return status;
    }

    // The same, with the answer's body as it came.
    int adminRaw(const char *method, const QByteArray &target, QByteArray *body,
                 const QByteArray &secret = kSecret, qint64 skew = 0) const
    {
        const QByteArray time = QByteArray::number(QDateTime::currentSecsSinceEpoch() + skew);
        httplib::Client client("127.0.0.1", adminPort);
        client.set_read_timeout(10, 0);
        const httplib::Headers headers{
            {"X-Farm-Time", time.toStdString()},
            {"X-Farm-Auth", adminAuth(method, target, time, secret).toStdString()}};
        const auto res = QByteArray(method) == "POST"
                             ? client.Post(target.toStdString(), headers, "", "application/json")
                             : client.Get(target.toStdString(), headers);
        if (!res)
            return 0;
        *body = QByteArray::fromStdString(res->body);
        return res->status;
    }

private:
    testsupport::ServerProcess server_{testsupport::ServerKind::farm()};

public:
    QProcess &process = server_.process;
    quint16 port = 0;
    int adminPort = 0;
};

} // namespace harness
