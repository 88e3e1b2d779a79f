#include "transfer/webrequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

bool fail(QString *why, const QString &text)
{
    *why = text;
    return false;
}

// A string member of at most `maxBytes` UTF-8 bytes without a zero byte, which would cut the text in
// the zero-terminated buffer it travels in.
bool takeText(const QJsonValue &value, const char *name, int maxBytes, QString &out, QString *why)
{
    if (!value.isString())
        return fail(why, QStringLiteral("\"%1\" is not a string").arg(QLatin1String(name)));
    const QByteArray bytes = value.toString().toUtf8();
    if (bytes.size() > maxBytes)
        return fail(why,
                    QStringLiteral("\"%1\" is longer than %2 bytes").arg(QLatin1String(name)).arg(maxBytes));
    if (bytes.contains('\0'))
        return fail(why, QStringLiteral("\"%1\" holds a zero character").arg(QLatin1String(name)));
    out = value.toString();
    return true;
}

} // namespace

bool parseWebUploadRequest(const QByteArray &text, WebUploadRequest &out, QString *why)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return fail(why, QStringLiteral("not a JSON object"));
    const QJsonObject request = doc.object();
    WebUploadRequest parsed;
    if (!takeText(request.value(QLatin1String("callback")), "callback", WebUploadRequest::maxCallbackBytes,
                  parsed.callback, why))
        return false;
    // Known from here on, so that the page's error reply can carry it.
    out.callback = parsed.callback;
    const QJsonValue value = request.value(QLatin1String("value"));
    if (!value.isObject())
        return fail(why, QStringLiteral("\"value\" is not an object"));
    const QJsonObject body = value.toObject();
    // Only the number 1 installs; any other "type", or none, sends a plain file.
    const QJsonValue type = body.value(QLatin1String("type"));
    parsed.install = type.isDouble() && type.toDouble() == 1.0;
    if (!takeText(body.value(QLatin1String("apkurl")), "apkurl", WebUploadRequest::maxUrlBytes, parsed.apkurl,
                  why))
        return false;
    const QJsonValue phones = body.value(QLatin1String("phoneInfo"));
    if (!phones.isUndefined() && !phones.isNull()) {
        if (!phones.isArray())
            return fail(why, QStringLiteral("\"phoneInfo\" is not an array"));
        const QJsonArray list = phones.toArray();
        if (list.size() > WebUploadRequest::maxPhones)
            return fail(why, QStringLiteral("more than %1 phones").arg(WebUploadRequest::maxPhones));
        for (const QJsonValue &entry : list) {
            if (!entry.isObject())
                return fail(why, QStringLiteral("a \"phoneInfo\" entry is not an object"));
            QString deviceId;
            if (!takeText(entry.toObject().value(QLatin1String("deviceId")), "deviceId",
                          WebUploadRequest::maxDeviceIdBytes, deviceId, why))
                return false;
            parsed.deviceIds.append(deviceId);
        }
    }
    out = parsed;
    return true;
}

QByteArray webErrorReply(const QString &callback, const QString &why)
{
    const QJsonObject value{{QStringLiteral("type"), webRequestRefused}, {QStringLiteral("error"), why}};
    return QJsonDocument(
               QJsonObject{{QStringLiteral("callback"), callback}, {QStringLiteral("value"), value}})
        .toJson(QJsonDocument::Indented);
}
