#include "app/datadir.h"
#include "app/globals.h"
#include "app/logging.h"

#ifdef PELOMIR_HAVE_TRANSFER
#include "transfer/billingdownload.h"
#endif
#ifdef PELOMIR_HAVE_PHONE
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#endif

#include <QtGlobal>

// Construction order matters: the log path creates the data directory, the pool starts its workers
// before main, and destruction runs in reverse after main returns (the pool joins last of the core).
#ifdef PELOMIR_HAVE_TRANSFER
BillingDownload g_billingDownload(g_threadPool); // keeps only the pool's address until it is used
#endif
const QString logFilePath = dataDirectory() + QStringLiteral("/log/debug.log");
EventManager g_eventManager;
#ifdef PELOMIR_HAVE_PHONE
QueuePreview g_queuePreview(g_threadPool, g_eventManager); // keeps only the pool's address
#endif
ThreadPool g_threadPool;
std::shared_ptr<ZqConfig> g_configHolder;
ZqConfig *g_config = nullptr;
#ifdef PELOMIR_HAVE_PHONE
SdkManager sdkManager(g_threadPool, g_eventManager);
#endif
std::shared_ptr<userInfo> g_userInfoHolder;
userInfo *g_userInfo = nullptr;

#ifdef PELOMIR_HAVE_RESOURCES
// Q_INIT_RESOURCE declares its function in the enclosing namespace, so this stays global.
static int registerResources()
{
    Q_INIT_RESOURCE(pelomir);
    return 1;
}
static const int resourcesRegistered = registerResources();
#endif
