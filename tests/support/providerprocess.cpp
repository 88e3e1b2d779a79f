#include "tests/support/providerprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QUrlQuery>

ProviderProcess::ProviderProcess(QString dbPath, QStringList extraArgs)
    : dbPath_(std::move(dbPath)), logPath_(dbPath_ + ".log"),
      server_(testsupport::ServerKind::provider(),
              QStringList{"--db", dbPath_, "--log", logPath_, "--fast-hash"} + extraArgs)
{
}

bool ProviderProcess::start(QString *error)
{
    if (server_.start(error))
        return true;
    if (error)
        *error += "\n" + logText();
    return false;
}

QString ProviderProcess::logText() const
{
    QFile f(logPath_);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

std::unique_ptr<httplib::Client> ProviderProcess::client() const
{
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port());
    c->set_connection_timeout(5, 0);
    c->set_read_timeout(20, 0);
    return c;
}

QByteArray ProviderProcess::clientBody(const QMap<QString, QString> &params)
{
    QUrlQuery query;
    for (auto it = params.begin(); it != params.end(); ++it)
        query.addQueryItem(it.key(), it.value());
    query.addQueryItem("platformId", "8");
    query.addQueryItem("productId", "40");
    query.addQueryItem("statisticsNo", "3148");
    query.addQueryItem("terminal", "web");
    return query.toString(QUrl::PrettyDecoded).toUtf8();
}

QJsonObject ProviderProcess::parse(const httplib::Result &res)
{
    if (!res)
        return QJsonObject{{"transport", "failed"}};
    QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).object();
    o.insert("http", res->status);
    return o;
}

QJsonObject ProviderProcess::post(const QString &path, const QMap<QString, QString> &params,
                                  const QString &token) const
{
    httplib::Headers headers;
    if (!token.isEmpty())
        headers.emplace("Authorization", token.toStdString());
    const QByteArray body = clientBody(params);
    return parse(client()->Post(path.toUtf8().constData(), headers, body.constData(), body.size(),
                                "application/x-www-form-urlencoded"));
}

QJsonObject ProviderProcess::get(const QString &pathWithQuery, const QString &token) const
{
    httplib::Headers headers;
    if (!token.isEmpty())
        headers.emplace("Authorization", token.toStdString());
    return parse(client()->Get(pathWithQuery.toUtf8().constData(), headers));
}

QString ProviderProcess::login(const QString &phone, const QString &password) const
{
    const QJsonObject a =
        post("/api/tamsu-phone-user/v1/login/phone", {{"phone", phone}, {"password", password}});
    return a["content"].toObject()["userToken"].toObject()["token"].toString();
}

QString ProviderProcess::lastSmsCode(const QString &phone) const
{
    return get("/dev/sms?phone=" + phone)["content"].toObject()["code"].toString();
}

QString ProviderProcess::registerUser(const QString &phone, const QString &password) const
{
    const QJsonObject sent = post(
        "/api/public/v1/verify-code/send",
        {{"mobile", phone}, {"identityType", "tamsu_cloud_phone"}, {"productCode", "tamsu_cloud_phone"}});
    if (sent["status"].toInt() != 1)
        return {};
    const QJsonObject reg =
        post("/api/tamsu-phone-user/v1/register",
             {{"phone", phone}, {"smsCaptcha", lastSmsCode(phone)}, {"password", password}});
    if (reg["status"].toInt() != 1)
        return {};
    return login(phone, password);
}
