#include "api/zqhttprequest.h"
#include "app/appboundwait.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

namespace {

const char *const commonItems[][2] = {
    {"platformId", "8"}, {"productId", "40"}, {"statisticsNo", "3148"}, {"terminal", "web"}};

// Compact, "msg" before "status" (the writer orders keys alphabetically).
QString failure(const QString &msg, int status)
{
    const QJsonObject object{{QStringLiteral("msg"), msg}, {QStringLiteral("status"), status}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString statusFailure(bool post, int httpStatus)
{
    return post ? failure(QStringLiteral("网络错误码: %1").arg(httpStatus), ZqHttpRequest::postHttpStatus)
                : failure(QStringLiteral("网络错误码：%1").arg(httpStatus), ZqHttpRequest::getFailureStatus);
}

QString networkFailure(bool post)
{
    return post ? failure(QStringLiteral("11 网络错误！"), ZqHttpRequest::postNetworkStatus)
                : failure(QStringLiteral("网络错误！"), ZqHttpRequest::getFailureStatus);
}

} // namespace

ZqHttpRequest::ZqHttpRequest(QObject *parent) : QObject(parent) {}

QString ZqHttpRequest::commonQuery()
{
    QString text;
    for (const auto &item : commonItems)
        text += QLatin1Char('&') + QLatin1String(item[0]) + QLatin1Char('=') + QLatin1String(item[1]);
    return text;
}

void ZqHttpRequest::addCommonQuery(QUrlQuery &query)
{
    for (const auto &item : commonItems)
        query.addQueryItem(QLatin1String(item[0]), QLatin1String(item[1]));
}

QByteArray ZqHttpRequest::formBody(const QMap<QString, QString> &params)
{
    // Every reserved byte is escaped: a literal '+' would reach the server as a space, and '%', '&' or
    // '=' would change the meaning of what the user typed.
    QByteArray body;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
    }
    QUrlQuery common;
    addCommonQuery(common);
    if (!body.isEmpty())
        body += '&';
    return body + common.toString(QUrl::FullyEncoded).toLatin1();
}

QString ZqHttpRequest::httpPost(const QString &url, const QMap<QString, QString> &params,
                                const QString &token)
{
    return send(Method::Post, url, formBody(params), token);
}

QString ZqHttpRequest::httpGet(const QString &url, const QString &token)
{
    return send(Method::Get, url, QByteArray(), token);
}

// Calling thread. The manager, the reply, the loop and the timer all live in this frame, so nothing
// outlives the call, and a pool thread whose event loop never runs again leaks nothing.
QString ZqHttpRequest::send(Method method, const QString &url, const QByteArray &body, const QString &token)
{
    const bool post = method == Method::Post;
    // Without a living application (a pool thread still at work while the process shuts down) the
    // request cannot be waited for; it fails like an unreachable server.
    const AppBoundWait registration;
    if (!registration.active())
        return statusFailure(post, 0);

    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    if (post)
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    if (!token.isEmpty())
        request.setRawHeader(QByteArrayLiteral("Authorization"), token.toUtf8());

    QNetworkAccessManager manager;
    // The manager owns the reply; it goes first so that the loop and the timer below are gone by then.
    QNetworkReply *reply = post ? manager.post(request, body) : manager.get(request);

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the limit is a promise to the user.
    timer.setTimerType(Qt::PreciseTimer);
    bool tooLarge = false;
    const auto checkSize = [&](qint64 received, qint64 total) {
        if (!tooLarge && (received > maxBodyBytes || total > maxBodyBytes)) {
            tooLarge = true;
            reply->abort();
        }
    };
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::metaDataChanged, &loop,
            [&] { checkSize(0, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    connect(reply, &QNetworkReply::downloadProgress, &loop, checkSize);
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec();

    if (!reply->isFinished()) {
        const bool timedOut = !timer.isActive();
        disconnect(reply, nullptr, &loop, nullptr);
        reply->abort();
        return timedOut ? failure(QStringLiteral("连接超时！"), timeoutStatus) : statusFailure(post, 0);
    }
    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (httpStatus != 200)
        return statusFailure(post, httpStatus);
    if (tooLarge || reply->error() != QNetworkReply::NoError)
        return networkFailure(post);
    QByteArray answer = reply->readAll();
    const int zero = answer.indexOf('\0');
    if (zero >= 0)
        answer.truncate(zero);
    return QString::fromUtf8(answer);
}
