#pragma once

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/zqconfig.h"
#include "tests/support/busrecorder.h"

#include <QDateTime>

#include <algorithm>
#include <memory>

namespace testsupport {

// GUI thread, with nothing on the pool still using the models it replaces. A fresh configuration and
// account model in the process-wide holders, talking to the provider at `url` and reloading without
// a pause.
inline void freshAccount(const QString &url)
{
    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    g_config->apiBaseUrl = url;
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();
    g_userInfo->setReloadPauseMs(0);
}

// GUI thread. Logs the account model in and waits until the account's `phones` phones are loaded;
// whether both happened.
inline bool logIn(const QString &phone, const QString &password, int phones)
{
    return g_userInfo->login(phone, password, false) &&
           waitFor([phones] { return g_userInfo->phoneCount() == phones && !g_userInfo->reloadBusy(); });
}

// The phones of `groups` that the account may operate and whose rental has not ended, by cloud id.
inline QList<phoneRecord> livePhones(const QList<groupRecord> &groups = g_userInfo->ordinaryGroups())
{
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QList<phoneRecord> out;
    for (const groupRecord &group : groups)
        for (const phoneRecord &phone : group.phones)
            if (g_userInfo->mayOperate(phone.cloudPhoneId) && phone.endTime > now)
                out.append(phone);
    std::sort(out.begin(), out.end(),
              [](const phoneRecord &a, const phoneRecord &b) { return a.cloudPhoneId < b.cloudPhoneId; });
    return out;
}

} // namespace testsupport
