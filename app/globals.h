#pragma once

#include "app/eventmanager.h"
#include "app/threadpool.h"
#include "app/zqconfig.h"

#include <memory>

class userInfo;

// The process-wide singletons (defined in singletons.cpp, constructed before main in this order
// after the log path): the bus, the pool, then the holders that the main window fills.
extern EventManager g_eventManager;
extern ThreadPool g_threadPool;
extern std::shared_ptr<ZqConfig> g_configHolder;
extern ZqConfig *g_config;
extern std::shared_ptr<userInfo> g_userInfoHolder;
// The object g_userInfoHolder holds, for every other user; set by the main window beside the holder.
extern userInfo *g_userInfo;
