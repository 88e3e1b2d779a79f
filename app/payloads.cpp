#include "app/payloads.h"

#include "app/zqslotmsg.h"

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace payload {
namespace {

const QString keyDeviceId = QStringLiteral("deviceId");
const QString keyName = QStringLiteral("name");
const QString keyUploadId = QStringLiteral("uploadId");

// A whole number in int range, as a JSON number or as decimal text.
std::optional<int> wholeNumber(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && number == std::trunc(number) &&
            number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max())
            return int(number);
        return std::nullopt;
    }
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().trimmed().toInt(&ok);
        if (ok)
            return number;
    }
    return std::nullopt;
}

int integer(const QJsonValue &value)
{
    return wholeNumber(value).value_or(0);
}

// Millisecond times outgrow int: decimal text, or a whole number a double holds exactly.
quint64 timestamp(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().trimmed().toULongLong();
    const double number = value.toDouble(-1);
    return number >= 0 && number <= 9007199254740992.0 && number == std::trunc(number) ? quint64(number) : 0;
}

QString text(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

// Device ids are text, but a number names a device too.
QString idText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    const std::optional<int> number = wholeNumber(value);
    return number ? QString::number(*number) : QString();
}

std::optional<QString> optionalText(const QJsonValue &value)
{
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

bool flag(const QJsonValue &value)
{
    return value.isBool() && value.toBool();
}

} // namespace

DialogRequest DialogRequest::read(const QString &text)
{
    DialogRequest request;
    request.fields = textToJson(text);
    request.kind = integer(request.fields.value(QStringLiteral("type")));
    request.answerType = integer(request.fields.value(QStringLiteral("msgId")));
    request.label = payload::text(request.fields.value(QStringLiteral("lbl_1_Text")));
    request.download = payload::text(request.fields.value(QStringLiteral("download")));
    return request;
}

UploadRequest UploadRequest::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    UploadRequest request;
    request.deviceId = idText(object.value(keyDeviceId));
    const QJsonValue files = object.value(QStringLiteral("files"));
    request.hasFiles = files.isArray();
    for (const QJsonValue &file : files.toArray())
        request.files.append(payload::text(file));
    return request;
}

QJsonObject UploadRequest::json() const
{
    QJsonObject object{{keyDeviceId, deviceId}};
    if (hasFiles)
        object.insert(QStringLiteral("files"), QJsonArray::fromStringList(files));
    return object;
}

OpenPhone OpenPhone::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    auto field = [&object](const char *key) { return object.value(QLatin1String(key)); };
    return {idText(field("deviceId")),      idText(field("deviceName")),
            idText(field("deviceUcId")),    idText(field("deviceNo")),
            integer(field("cloudPhoneId")), timestamp(field("deviceUcIdTimestamp"))};
}

QJsonObject OpenPhone::json() const
{
    return {{keyDeviceId, deviceId},
            {QStringLiteral("deviceName"), deviceName},
            {QStringLiteral("deviceUcId"), deviceUcId},
            {QStringLiteral("deviceUcIdTimestamp"), QString::number(deviceUcIdTimestamp)},
            {QStringLiteral("deviceNo"), deviceNo},
            {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}};
}

DeviceRef DeviceRef::read(const QString &text)
{
    return {idText(textToJson(text).value(keyDeviceId))};
}

QJsonObject DeviceRef::json() const
{
    return {{keyDeviceId, deviceId}};
}

ClipboardAnswer ClipboardAnswer::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {idText(object.value(keyDeviceId)), payload::text(object.value(QStringLiteral("txtClip")))};
}

SyncSwitch SyncSwitch::read(const QString &text)
{
    return {flag(textToJson(text).value(QStringLiteral("SyncOperation")))};
}

QJsonObject SyncSwitch::json() const
{
    return {{QStringLiteral("SyncOperation"), on}};
}

GroupAnswer GroupAnswer::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {integer(object.value(QStringLiteral("orderId"))), payload::text(object.value(keyName))};
}

PhoneName PhoneName::readAnswer(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {integer(object.value(QStringLiteral("cloudId"))), optionalText(object.value(keyName))};
}

PhoneName PhoneName::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {integer(object.value(QStringLiteral("phoneId"))), optionalText(object.value(keyName))};
}

QJsonObject PhoneName::json() const
{
    return {{QStringLiteral("phoneId"), cloudPhoneId}, {keyName, name.value_or(QString())}};
}

CountAnswer CountAnswer::read(const QString &text)
{
    return {integer(textToJson(text).value(QStringLiteral("count")))};
}

PrefixAnswer PrefixAnswer::read(const QString &text)
{
    return {optionalText(textToJson(text).value(QStringLiteral("prefix")))};
}

std::optional<int> readGroupId(const QString &text)
{
    return wholeNumber(QJsonValue(text));
}

TileStatus TileStatus::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {idText(object.value(keyDeviceId)), integer(object.value(QStringLiteral("tileStatus")))};
}

QJsonObject TileStatus::json() const
{
    return {{keyDeviceId, deviceId}, {QStringLiteral("tileStatus"), status}};
}

CheckChange CheckChange::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    const std::optional<int> cloudId = wholeNumber(object.value(QStringLiteral("cloudId")));
    const QJsonValue checked = object.value(QStringLiteral("isChecked"));
    if (!cloudId || !checked.isBool())
        return {};
    return {*cloudId, checked.toBool()};
}

QJsonObject CheckChange::json() const
{
    return {{QStringLiteral("cloudId"), cloudPhoneId},
            {QStringLiteral("isChecked"), checked.value_or(false)}};
}

Rotation Rotation::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {idText(object.value(keyDeviceId)), wholeNumber(object.value(QStringLiteral("rotation")))};
}

QJsonObject Rotation::json() const
{
    return {{keyDeviceId, deviceId}, {QStringLiteral("rotation"), rotation.value_or(0)}};
}

AppDialogRequest AppDialogRequest::read(const QString &text)
{
    return fromJson(textToJson(text));
}

AppDialogRequest AppDialogRequest::fromJson(const QJsonObject &object)
{
    return {integer(object.value(QStringLiteral("type")))};
}

QJsonObject AppDialogRequest::json() const
{
    return {{QStringLiteral("type"), operation}};
}

UploadProgress UploadProgress::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    UploadProgress progress;
    progress.uploadId = integer(object.value(keyUploadId));
    progress.stored = flag(object.value(QStringLiteral("stored")));
    progress.failed = integer(object.value(QStringLiteral("failed")));
    progress.deviceId = idText(object.value(keyDeviceId));
    progress.code = integer(object.value(QStringLiteral("code")));
    progress.detail = payload::text(object.value(QStringLiteral("detail")));
    return progress;
}

QJsonObject UploadProgress::ended(int uploadId, bool stored)
{
    return {{keyUploadId, uploadId}, {QStringLiteral("stored"), stored}};
}

QJsonObject UploadProgress::handedOver(int uploadId, int failed)
{
    return {{keyUploadId, uploadId}, {QStringLiteral("failed"), failed}};
}

QJsonObject UploadProgress::result(int uploadId, const QString &deviceId, int code, const QString &detail)
{
    return {{keyUploadId, uploadId},
            {keyDeviceId, deviceId},
            {QStringLiteral("code"), code},
            {QStringLiteral("detail"), detail}};
}

MacroProgress MacroProgress::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    MacroProgress progress;
    progress.cloudPhoneId = integer(object.value(QStringLiteral("cloudPhoneId")));
    progress.deviceId = idText(object.value(keyDeviceId));
    progress.name = payload::text(object.value(keyName));
    progress.index = integer(object.value(QStringLiteral("index")));
    progress.sent = integer(object.value(QStringLiteral("sent")));
    progress.total = integer(object.value(QStringLiteral("total")));
    progress.state = payload::text(object.value(QStringLiteral("state")));
    return progress;
}

QJsonObject MacroProgress::json(const QJsonObject &extra) const
{
    QJsonObject object = extra;
    object.insert(QStringLiteral("cloudPhoneId"), cloudPhoneId);
    object.insert(keyDeviceId, deviceId);
    object.insert(keyName, name);
    object.insert(QStringLiteral("index"), index);
    object.insert(QStringLiteral("sent"), sent);
    object.insert(QStringLiteral("total"), total);
    object.insert(QStringLiteral("state"), state);
    return object;
}

MacroFinished MacroFinished::read(const QString &text)
{
    const QJsonObject object = textToJson(text);
    return {flag(object.value(QStringLiteral("stopped"))),
            payload::text(object.value(QStringLiteral("error")))};
}

QJsonObject MacroFinished::json() const
{
    QJsonObject object{{QStringLiteral("stopped"), stopped}};
    if (!error.isEmpty())
        object.insert(QStringLiteral("error"), error);
    return object;
}

} // namespace payload
