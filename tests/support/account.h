#pragma once

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/zqconfig.h"
#include "tests/support/busrecorder.h"

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

} // namespace testsupport
