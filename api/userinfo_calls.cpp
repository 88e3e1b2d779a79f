#include "api/userinfo.h"
#include "api/userinfo_internal.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QUrl>

#include <stdexcept>

using userinfoanswer::succeeded;

namespace {

const QString groupSavePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/save");
const QString groupRemovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/remove");
const QString groupRenamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/rename");
const QString phoneMovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/phone-move");
const QString batchMovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/batch-phone-move");
const QString phoneNamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/update-phone-name");
const QString prefixRenamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/prefix-rename");
const QString restartPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/restart");
const QString resetPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/reset");
const QString generateOrderPath = QStringLiteral("/api/tamsu-cloud-phone/v1/order/generate-change-order");
const QString getOrderPath = QStringLiteral("/api/tamsu-cloud-phone/v1/order/get-change-order");
const QString runningStatusPath =
    QStringLiteral("/api/tamsu-cloud-phone/v1/phone/list-phones-running-status?cloudPhoneIds=");
const QString uploadInfoPath = QStringLiteral("/api/public/v1/storage/get-upload-info?userId=");

const QString groupNotFoundText = QStringLiteral("未找到分组！");

} // namespace

QList<groupRecord> userInfo::ordinaryGroups() const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    return m_inventory->ordinary;
}

groupRecord userInfo::specialGroup(int id) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    if (id == -1)
        return m_inventory->specialGranted;
    if (id == -2)
        return m_inventory->specialOther;
    return groupRecord();
}

bool userInfo::findPhone(int cloudPhoneId, phoneRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    const auto it = m_inventory->phoneMap.constFind(cloudPhoneId);
    if (it == m_inventory->phoneMap.constEnd())
        return false;
    out = *it;
    return true;
}

bool userInfo::findPhoneByDeviceId(const QString &deviceId, phoneRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    for (const phoneRecord &phone : qAsConst(m_inventory->phoneMap)) {
        if (phone.deviceId == deviceId) {
            out = phone;
            return true;
        }
    }
    return false;
}

int userInfo::groupIdOfPhone(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        for (const phoneRecord &phone : group.phones) {
            if (phone.cloudPhoneId == cloudPhoneId)
                return group.id;
        }
    }
    return -1;
}

QString userInfo::ucIdOf(const QString &deviceId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    const auto find = [&deviceId](const groupRecord &group, QString *found) {
        for (const phoneRecord &phone : group.phones) {
            if (phone.deviceId == deviceId) {
                *found = phone.deviceUcId;
                return true;
            }
        }
        return false;
    };
    QString found;
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        if (find(group, &found))
            return found;
    }
    // The ungrouped phones (-2) are the account's own as much as the grouped ones.
    if (find(m_inventory->specialGranted, &found) || find(m_inventory->specialOther, &found))
        return found;
    return QString();
}

bool userInfo::mayOperate(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const phoneRecord &phone : m_inventory->specialGranted.phones) {
        if (phone.cloudPhoneId == cloudPhoneId && phone.authorizationStrategy == 1)
            return false;
    }
    return true;
}

bool userInfo::isAccessible(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    const auto it = m_inventory->phoneMap.constFind(cloudPhoneId);
    return it != m_inventory->phoneMap.constEnd() && it->accessState != 0;
}

int userInfo::phoneCount() const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    return m_inventory->phoneMap.size();
}

QString userInfo::joinIds(const QList<int> &cloudPhoneIds)
{
    QStringList parts;
    parts.reserve(cloudPhoneIds.size());
    for (const int id : cloudPhoneIds)
        parts.append(QString::number(id));
    return parts.join(QLatin1Char(','));
}

bool userInfo::postWithToken(const QString &path, const QMap<QString, QString> &params)
{
    QJsonObject answer;
    QString text;
    return postChecked(path, params, &answer, &text, true);
}

QJsonValue userInfo::getContent(const QString &pathAndQuery) const
{
    const QJsonObject answer = textToJson(ZqHttpRequest().httpGet(m_apiBaseUrl + pathAndQuery, token()));
    return succeeded(answer) ? answer.value(QStringLiteral("content")) : QJsonValue();
}

bool userInfo::createGroup(const QString &name)
{
    if (!postWithToken(groupSavePath, {{QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::removeGroup(int groupId)
{
    if (groupId <= 0) {
        showError(QStringLiteral("该分组不能删除!"));
        return false;
    }
    if (!postWithToken(groupRemovePath, {{QStringLiteral("id"), QString::number(groupId)}}))
        return false;
    reload();
    return true;
}

bool userInfo::renameGroup(int groupId, const QString &name)
{
    if (groupId <= 0) {
        showError(QStringLiteral("该分组不能重命名!"));
        return false;
    }
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(groupRenamePath,
                       {{QStringLiteral("id"), QString::number(groupId)}, {QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::movePhone(int groupId, int cloudPhoneId)
{
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(phoneMovePath, {{QStringLiteral("id"), QString::number(groupId)},
                                       {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}}))
        return false;
    reload();
    return true;
}

bool userInfo::movePhones(const QList<int> &cloudPhoneIds, int groupId)
{
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(batchMovePath, {{QStringLiteral("id"), QString::number(groupId)},
                                       {QStringLiteral("cloudPhoneIds"), joinIds(cloudPhoneIds)}}))
        return false;
    reload();
    return true;
}

bool userInfo::renamePhone(int cloudPhoneId, const QString &name)
{
    phoneRecord phone;
    if (!findPhone(cloudPhoneId, phone))
        return false;
    if (!postWithToken(phoneNamePath,
                       {{QStringLiteral("id"), QString::number(phone.id)}, {QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::prefixRename(const QString &cloudPhoneIds, const QString &prefix)
{
    return postWithToken(prefixRenamePath, {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds},
                                            {QStringLiteral("prefix"), prefix}});
}

bool userInfo::restartPhones(const QString &cloudPhoneIds, const QString &type)
{
    return postWithToken(restartPath,
                         {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds}, {QStringLiteral("type"), type}});
}

bool userInfo::resetPhones(const QString &cloudPhoneIds, const QString &type)
{
    return postWithToken(resetPath,
                         {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds}, {QStringLiteral("type"), type}});
}

bool userInfo::generateChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId)
{
    QJsonObject answer;
    QString text;
    const bool done = postChecked(generateOrderPath,
                                  {{QStringLiteral("billingId"), billingId},
                                   {QStringLiteral("payChannel"), payChannel},
                                   {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}},
                                  &answer, &text, true);
    qDebug().noquote() << "userInfo::generateChangeOrder" << text;
    return done;
}

bool userInfo::getChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId)
{
    return postWithToken(getOrderPath, {{QStringLiteral("billingId"), billingId},
                                        {QStringLiteral("payChannel"), payChannel},
                                        {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}});
}

void userInfo::exchangePhone(const std::shared_ptr<userInfo> &self, int billingId, int cloudPhoneId)
{
    const QString billing = QString::number(billingId);
    try {
        // Pool worker: blocks on the two service calls; takes no lock of its own.
        g_threadPool.commit([self, billing, cloudPhoneId] {
            const QString channel = QStringLiteral("wechat");
            const bool exchanged = self->generateChangeOrder(billing, channel, cloudPhoneId) &&
                                   self->getChangeOrder(billing, channel, cloudPhoneId);
            showError(exchanged ? QStringLiteral("设备更换成功") : QStringLiteral("设备更换失败"));
            if (exchanged)
                self->reload();
        });
    } catch (const std::runtime_error &) {
        // The pool is shutting down with the program.
    }
}

QJsonArray userInfo::runningStatus(const QString &cloudPhoneIds, const QString &type)
{
    // The lists are the callers' text: escaped so that nothing in them can add or end a query item.
    return getContent(runningStatusPath + QString::fromLatin1(QUrl::toPercentEncoding(cloudPhoneIds, ",")) +
                      QStringLiteral("&type=") + QString::fromLatin1(QUrl::toPercentEncoding(type)))
        .toArray();
}

QJsonObject userInfo::uploadInfo()
{
    return getContent(uploadInfoPath + QString::number(userDetail().userId) +
                      QStringLiteral("&platformId=8&productId=40&statisticsNo=3148&terminal=web"))
        .toObject();
}

bool userInfo::hasOrdinaryGroup(int groupId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        if (group.id == groupId)
            return true;
    }
    return false;
}
