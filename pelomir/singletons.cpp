#include "api/userinfo.h"
#include "app/datadir.h"
#include "app/globals.h"
#include "app/logging.h"
#include "oper/zqphoneform.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "transfer/billingdownload.h"

#include <QtGlobal>

// Construction order matters: the log path creates the data directory, the pool starts its workers
// before main, and destruction runs in reverse after main returns.
BillingDownload g_billingDownload(g_threadPool); // keeps only the pool's address until it is used
const QString logFilePath = dataDirectory() + QStringLiteral("/log/debug.log");
EventManager g_eventManager;
QueuePreview g_queuePreview(g_threadPool, g_eventManager); // keeps only the pool's address
ThreadPool g_threadPool;
std::shared_ptr<ZqConfig> g_configHolder;
ZqConfig *g_config = nullptr;
SdkManager sdkManager(g_threadPool, g_eventManager);
std::shared_ptr<userInfo> g_userInfoHolder;
userInfo *g_userInfo = nullptr;

// Q_INIT_RESOURCE declares its function in the enclosing namespace, so this stays global.
static int registerResources()
{
    Q_INIT_RESOURCE(pelomir);
    return 1;
}
static const int resourcesRegistered = registerResources();

namespace {

// Any thread: the account model as it is now; null before the main window made it.
std::shared_ptr<userInfo> currentAccount()
{
    return g_userInfoHolder;
}

// The last singleton. It connects the subsystems, which know nothing of each other, and at exit it
// stops and joins the pool before any object built after the pool (the configuration, the session
// manager, the account model) is destroyed: a pool task never outlives what it uses.
struct Root
{
    Root()
    {
        userInfo::setBillingIconRequest([](int billingId, const QString &deviceId, const QString &address) {
            g_billingDownload.addBillingIcon(billingId, deviceId, address);
        });
        // Restricted phones are never registered with the session manager; called on pool workers.
        sdkManager.setOperatePolicy([](int cloudPhoneId) {
            const std::shared_ptr<userInfo> info = currentAccount();
            return info && info->mayOperate(cloudPhoneId);
        });
        // The control windows ask the inventory which phones may be operated, and restart through it.
        ZqPhoneForm::setAccount({[](int cloudPhoneId) {
                                     const std::shared_ptr<userInfo> info = currentAccount();
                                     return info && info->mayOperate(cloudPhoneId);
                                 },
                                 [](const QString &ids, const QString &type) {
                                     const std::shared_ptr<userInfo> info = currentAccount();
                                     return info && info->restartPhones(ids, type);
                                 }});
    }

    ~Root()
    {
        // Both are idempotent; the main window normally stopped them already.
        g_eventManager.stop();
        g_queuePreview.stopScheduler();
        g_threadPool.shutdown();
    }
};

const Root root;

} // namespace
