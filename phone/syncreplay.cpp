#include "phone/syncreplay.h"

#include <QDateTime>
#include <QtDebug>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace syncreplay {
namespace {

using std::chrono::milliseconds;

// Upper bound of every idle wait; a notify normally ends it sooner.
constexpr milliseconds idleWait(100);

// deviceId → -1 pending, 0 logged in, 1 failed. Its mutex is never held with another lock.
struct LoginTable
{
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<std::string, int> states;
};

// Never destroyed: a stop task or a replay thread may still use it while the process exits.
LoginTable &logins()
{
    static LoginTable *const table = new LoginTable;
    return *table;
}

std::atomic<int> running{0};

QByteArray deviceIdOf(const SdkSession *session)
{
    return session && session->deviceId ? QByteArray(session->deviceId) : QByteArray();
}

// Library thread; takes the login mutex. Only a listed phone is updated: the stop task may have
// emptied the table since the login went out.
void setLogin(const QByteArray &deviceId, int state)
{
    std::lock_guard<std::mutex> locker(logins().mutex);
    const auto found = logins().states.find(deviceId.toStdString());
    if (found != logins().states.end())
        found->second = state;
    logins().changed.notify_all();
}

// Library thread; takes the phone's event mutex. The replay thread waits for every answer before it
// ends, and it holds the phone, so `extra` is alive here.
void answered(SdkSession *session, int code)
{
    auto *phone = static_cast<SDKPhone *>(session->extra);
    if (code == CC_ERR_REBOOTING)
        ++phone->rebootsSeen;
    std::lock_guard<std::mutex> locker(phone->eventMutex);
    --phone->replayInFlight;
    phone->eventsReady.notify_all();
}

// Library thread. A logged-in phone switches to the keyboard that types text events.
void onLogin(SdkSession *session, int, int code, const void *, int)
{
    const QByteArray id = deviceIdOf(session);
    if (code < 0) {
        qDebug() << "sync login failed, deviceId:" << id << ", code:" << code;
        setLogin(id, 1);
    } else {
        cc_core_send_adb_command_msg_tob(session, "ime set com.android.adbkeyboard/.AdbIME", nullptr, 0);
        setLogin(id, 0);
    }
    answered(session, code);
}

// Library thread.
template <int Type> void onReplayed(SdkSession *session, int, int code, const void *, int)
{
    const QByteArray id = deviceIdOf(session);
    if (Type == SyncKey)
        qDebug() << " signalKey, deviceId:" << id << ", code:" << code;
    else if (code < 0 && Type == SyncTouchUpDown)
        qDebug() << "同步鼠标点击失败" << id << code;
    else if (code < 0 && Type == SyncTouchMove)
        qDebug() << "同步鼠标移动失败" << id << code;
    else if (code < 0 && Type == SyncText)
        qDebug() << " sync clipboard error, deviceId:" << id << ", code:" << code;
    else if (code < 0 && Type == SyncFunctionKey)
        qDebug() << "同步键值,deviceId" << id << "失败" << code;
    answered(session, code);
}

// Replay thread, no lock held. `event` is replayable.
void send(SdkSession *session, const SyncEvent &event)
{
    switch (event.type) {
    case SyncTouchUpDown:
        cc_core_send_touch_updown_msg_tob(session, event.data, event.length, &onReplayed<SyncTouchUpDown>);
        break;
    case SyncTouchMove:
        cc_core_send_touch_move_msg_tob(session, event.data, event.length, &onReplayed<SyncTouchMove>);
        break;
    case SyncText:
        cc_core_send_text_event_tob(session, event.data, event.length, &onReplayed<SyncText>);
        break;
    case SyncFunctionKey:
        cc_core_send_function_key_tob(session, event.code, &onReplayed<SyncFunctionKey>);
        break;
    default:
        cc_core_send_key_event_tob(session, event.data, event.length, &onReplayed<SyncKey>);
        break;
    }
}

// Replay thread; takes the phone's event mutex. Waits for room in the window, then counts a request.
void reserve(SDKPhone &phone)
{
    std::unique_lock<std::mutex> locker(phone.eventMutex);
    phone.eventsReady.wait(locker, [&] { return phone.replayInFlight < window; });
    ++phone.replayInFlight;
}

// Replay thread; takes the login mutex. Waits for the login's answer, so that the keyboard switch
// goes out before the first event. Ends early when the stop task forgets the login or the replay is
// no longer wanted; the library answers every request within its time-out in any case.
void waitForLogin(const std::string &id, const std::function<bool()> &wanted)
{
    std::unique_lock<std::mutex> locker(logins().mutex);
    for (;;) {
        const auto found = logins().states.find(id);
        if (found == logins().states.end() || found->second != -1 || !wanted())
            return;
        logins().changed.wait_for(locker, idleWait);
    }
}

} // namespace

bool replayable(int type)
{
    return type == SyncTouchUpDown || type == SyncTouchMove || type == SyncText || type == SyncFunctionKey ||
           type == SyncKey;
}

void login(SDKPhone &phone, SdkSession *session, const std::function<bool()> &wanted)
{
    const std::string id = phone.deviceId().toStdString();
    {
        std::lock_guard<std::mutex> locker(logins().mutex);
        logins().states[id] = -1;
    }
    reserve(phone);
    cc_core_send_user_login_data_tob(session, &onLogin);
    waitForLogin(id, wanted);
    qDebug() << "     登录成功,开始同步:" << phone.deviceId() << " name:" << phone.name()
             << QDateTime::currentMSecsSinceEpoch();
}

void sendEvent(SDKPhone &phone, SdkSession *session, const SyncEvent &event)
{
    reserve(phone);
    send(session, event);
}

void waitForAnswers(SDKPhone &phone)
{
    std::unique_lock<std::mutex> locker(phone.eventMutex);
    phone.eventsReady.wait(locker, [&] { return phone.replayInFlight == 0; });
}

namespace {

// Replay thread, under the phone's event mutex: takes the queued batches. Empty when the thread is
// to end; it has then cleared replayRunning, after every answer came back.
std::vector<SyncBatch> nextBatches(SDKPhone &phone)
{
    std::unique_lock<std::mutex> locker(phone.eventMutex);
    for (;;) {
        if (phone.pendingEvents.empty() && phone.state == PhoneSyncTarget)
            phone.eventsReady.wait_for(locker, idleWait);
        std::vector<SyncBatch> batches;
        batches.swap(phone.pendingEvents);
        if (!batches.empty())
            return batches;
        if (phone.state == PhoneSyncTarget)
            continue;
        phone.eventsReady.wait(locker, [&] { return phone.replayInFlight == 0; });
        // A new session may have made the phone a target again meanwhile; then this thread serves it.
        if (phone.pendingEvents.empty() && phone.state != PhoneSyncTarget) {
            phone.replayRunning = false;
            return {};
        }
    }
}

void replayLoop(std::shared_ptr<SDKPhone> phone)
{
    SdkSession session = *phone->identity();
    session.extra = phone.get();
    if (phone->state == PhoneSyncTarget)
        login(*phone, &session, [&] { return phone->state == PhoneSyncTarget; });
    for (;;) {
        const std::vector<SyncBatch> batches = nextBatches(*phone);
        if (batches.empty())
            break;
        for (const SyncBatch &batch : batches) {
            for (const SyncEvent &event : *batch) {
                if (phone->removed)
                    break;
                if (replayable(event.type))
                    sendEvent(*phone, &session, event);
            }
        }
    }
    --running;
}

} // namespace

void start(const std::shared_ptr<SDKPhone> &phone)
{
    {
        std::lock_guard<std::mutex> locker(phone->eventMutex);
        if (phone->state != PhoneSyncTarget || phone->replayRunning)
            return;
        phone->replayRunning = true;
    }
    ++running;
    try {
        std::thread(replayLoop, phone).detach();
    } catch (const std::system_error &error) {
        qDebug() << "sync replay thread not started:" << phone->deviceId() << error.what();
        --running;
        std::lock_guard<std::mutex> locker(phone->eventMutex);
        phone->replayRunning = false;
    }
}

void clearLogins()
{
    std::lock_guard<std::mutex> locker(logins().mutex);
    logins().states.clear();
    logins().changed.notify_all();
}

std::optional<int> loginState(const QByteArray &deviceId)
{
    std::lock_guard<std::mutex> locker(logins().mutex);
    const auto found = logins().states.find(deviceId.toStdString());
    if (found == logins().states.end())
        return std::nullopt;
    return found->second;
}

int liveThreads()
{
    return running.load();
}

} // namespace syncreplay
