#pragma once

// Test and benchmark helpers: a real pelomir-phonefarm on free ports,
// credentials signed like the provider's, signed admin calls.

#include <httplib.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace harness {

inline const QByteArray kSecret = "pelomir-dev-farm-secret";

inline QString binDir()
{
    return qEnvironmentVariable("PELOMIR_BIN_DIR");
}

inline QByteArray credential(const QByteArray &deviceId, qint64 expiry = 0, bool restricted = false,
                             const QByteArray &secret = kSecret)
{
    if (expiry == 0)
        expiry = QDateTime::currentSecsSinceEpoch() + 24 * 3600;
    const QByteArray e = QByteArray::number(expiry), r = restricted ? "1" : "0";
    const QByteArray mac = QMessageAuthenticationCode::hash("ucv1|" + deviceId + "|" + e + "|" + r, secret,
                                                            QCryptographicHash::Sha256)
                               .toHex();
    return "ucv1." + e + "." + r + "." + mac;
}

class Farm
{
public:
    ~Farm() { stop(); }

    // Starts the farm on free ports and reads its two address lines.
    bool start(const QStringList &extra = {})
    {
        process.setProgram(binDir() + QStringLiteral("/pelomir-phonefarm"));
        process.setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                         QStringLiteral("--admin-listen"), QStringLiteral("127.0.0.1:0")} +
                             extra);
        process.setProcessChannelMode(
            QProcess::ForwardedErrorChannel); // the farm's warnings show in the test log
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        QByteArray out;
        while (out.count('\n') < 2 && process.waitForReadyRead(10000))
            out += process.readAllStandardOutput();
        const QRegularExpression re(
            QStringLiteral("gateway on [0-9.]+:(\\d+)\\nadmin on http://[0-9.]+:(\\d+)"));
        const auto m = re.match(QString::fromLatin1(out));
        if (!m.hasMatch())
            return false;
        port = quint16(m.captured(1).toUInt());
        adminPort = m.captured(2).toInt();
        return true;
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

    // A signed admin call; returns the HTTP status (0 when unreachable) and the JSON answer.
    int admin(const char *method, const QByteArray &target, QJsonObject *answer = nullptr,
              const QByteArray &secret = kSecret, qint64 skew = 0) const
    {
        const QByteArray time = QByteArray::number(QDateTime::currentSecsSinceEpoch() + skew);
        const QByteArray auth =
            QMessageAuthenticationCode::hash(QByteArray(method) + ' ' + target + ' ' + time, secret,
                                             QCryptographicHash::Sha256)
                .toHex();
        httplib::Client client("127.0.0.1", adminPort);
        client.set_read_timeout(10, 0);
        const httplib::Headers headers{{"X-Farm-Time", time.toStdString()},
                                       {"X-Farm-Auth", auth.toStdString()}};
        const auto res = QByteArray(method) == "POST"
                             ? client.Post(target.toStdString(), headers, "", "application/json")
                             : client.Get(target.toStdString(), headers);
        if (!res)
            return 0;
        if (answer)
            *answer = QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).object();
        return res->status;
    }

    QProcess process;
    quint16 port = 0;
    int adminPort = 0;
};

} // namespace harness
