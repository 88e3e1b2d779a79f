#pragma once

#include "app/eventmanager.h"
#include "app/threadpool.h"
#include "app/zqconfig.h"

#include <memory>

class userInfo;

// The process-wide singletons, defined by the program's root (pelomir/singletons.cpp) and constructed
// before main in this order after the log path: the bus, the pool, then the holders that the main
// window fills. The pool is joined before the holders go.
extern EventManager g_eventManager;
extern ThreadPool g_threadPool;
extern std::shared_ptr<ZqConfig> g_configHolder;
extern ZqConfig *g_config;
extern std::shared_ptr<userInfo> g_userInfoHolder;
// The object g_userInfoHolder holds, set by the main window beside the holder. GUI thread; a pool task
// copies g_userInfoHolder instead, so that the model lives as long as the task.
extern userInfo *g_userInfo;
