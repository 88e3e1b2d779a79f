#include "phone/sdkmanager.h"

#include "app/threadpool.h"
#include "phone/sessionregistry.h"
#include "phone/syncreplay.h"

#include <QtDebug>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <stdexcept>

using sdkresults::postResult;

void SessionRegistry::startTask(int masterId)
{
    std::vector<std::shared_ptr<SDKPhone>> ticked;
    {
        std::lock_guard<std::mutex> locker(registryMutex);
        const auto master = phones.find(masterId);
        if (master != phones.end() && master->second->state != PhoneCreated) {
            for (const auto &entry : phones)
                ticked.push_back(entry.second);
        }
    }
    for (const std::shared_ptr<SDKPhone> &phone : ticked) {
        if (phone->cloudPhoneId() == masterId || phone->state == PhoneCreated)
            continue;
        phone->state = PhoneSyncTarget;
        syncreplay::start(phone);
    }
    bool commit = false;
    {
        std::lock_guard<std::mutex> locker(recorderMutex);
        --startsPending;
        commit = !distributorRunning;
        distributorRunning = true;
    }
    recorderWake.notify_all();
    if (!commit)
        return;
    try {
        pool.commit([self = shared_from_this()] { self->distributeLoop(); });
    } catch (const std::runtime_error &) {
        std::lock_guard<std::mutex> locker(recorderMutex);
        distributorRunning = false;
        qDebug() << "sdkManager: pool stopped, sync input not distributed";
    }
}

void SessionRegistry::stopTask()
{
    flushRecorder();
    for (const std::shared_ptr<SDKPhone> &phone : snapshot()) {
        int32_t target = PhoneSyncTarget;
        if (!phone->state.compare_exchange_strong(target, PhoneRegistered))
            continue;
        std::lock_guard<std::mutex> locker(phone->eventMutex);
        phone->eventsReady.notify_all();
    }
    syncreplay::clearLogins();
}

void SessionRegistry::flushRecorder()
{
    std::lock_guard<std::mutex> order(distributeMutex);
    std::vector<SyncEvent> taken;
    {
        std::lock_guard<std::mutex> locker(recorderMutex);
        if (startsPending > 0)
            return;
        taken.swap(recorded);
    }
    if (taken.empty())
        return;
    const SyncBatch batch = std::make_shared<const std::vector<SyncEvent>>(std::move(taken));
    std::lock_guard<std::mutex> locker(registryMutex);
    for (const auto &entry : phones) {
        SDKPhone &phone = *entry.second;
        if (phone.state != PhoneSyncTarget)
            continue;
        std::lock_guard<std::mutex> events(phone.eventMutex);
        if (phone.state != PhoneSyncTarget)
            continue;
        phone.pendingEvents.push_back(batch);
        phone.eventsReady.notify_all();
    }
}

void SessionRegistry::distributeLoop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> locker(recorderMutex);
            recorderWake.wait_for(locker, std::chrono::milliseconds(100),
                                  [this] { return !recording || (!recorded.empty() && startsPending == 0); });
            if (!recording && (recorded.empty() || startsPending > 0)) {
                distributorRunning = false;
                return;
            }
        }
        flushRecorder();
    }
}

bool SessionRegistry::startMacro(
    const std::function<std::shared_ptr<const macro::Recording>(QString *)> &load,
    const macroreplay::Options &options)
{
    if (!options.valid())
        return false;
    std::shared_ptr<macroreplay::Run> run;
    {
        std::lock_guard<std::mutex> locker(macroMutex);
        if (macroRun && macroRun->running())
            return false;
        // Replay threads post through the callbacks' slot, so nothing of theirs outlives the bus.
        macroRun = run = std::make_shared<macroreplay::Run>(options, &postResult);
    }
    enqueue(shared_from_this(), [run, load](SessionRegistry &registry) {
        QString error;
        const std::shared_ptr<const macro::Recording> recording = load(&error);
        if (!recording) {
            run->fail(error);
            return;
        }
        std::vector<std::shared_ptr<SDKPhone>> phones = registry.snapshot();
        if (phones.empty()) {
            run->fail(QStringLiteral("至少选择一台云手机"));
            return;
        }
        std::sort(phones.begin(), phones.end(),
                  [](const auto &a, const auto &b) { return a->cloudPhoneId() < b->cloudPhoneId(); });
        run->start(recording, std::move(phones));
    });
    return true;
}

void SdkManager::startSync(int masterCloudPhoneId)
{
    int none = 0;
    if (masterCloudPhoneId == 0 || !d->syncMaster.compare_exchange_strong(none, masterCloudPhoneId))
        return;
    {
        std::lock_guard<std::mutex> locker(d->recorderMutex);
        d->recording = true;
        ++d->startsPending;
    }
    SessionRegistry::enqueue(
        d, [masterCloudPhoneId](SessionRegistry &registry) { registry.startTask(masterCloudPhoneId); });
}

void SdkManager::stopSync()
{
    {
        std::lock_guard<std::mutex> locker(d->recorderMutex);
        d->recording = false;
    }
    d->syncMaster = 0;
    d->recorderWake.notify_all();
    SessionRegistry::enqueue(d, [](SessionRegistry &registry) { registry.stopTask(); });
}

int SdkManager::syncMaster() const
{
    return d->syncMaster;
}

bool SdkManager::recordSyncEvent(const SyncEvent &event)
{
    if (event.length < 0 || event.length > SyncEvent::payloadLimit) {
        qDebug() << "sync event refused: payload of" << event.length << "bytes, type" << event.type;
        return false;
    }
    {
        std::lock_guard<std::mutex> locker(d->recorderMutex);
        if (!d->recording)
            return false;
        d->recorded.push_back(event);
    }
    d->recorderWake.notify_all();
    return true;
}

bool SdkManager::startMacro(const QString &path, const macroreplay::Options &options)
{
    return d->startMacro(
        [path](QString *error) -> std::shared_ptr<const macro::Recording> {
            auto recording = std::make_shared<macro::Recording>();
            if (!macro::load(path, recording.get(), error))
                return nullptr;
            if (recording->steps.empty()) {
                *error = QStringLiteral("脚本没有录到任何操作");
                return nullptr;
            }
            return recording;
        },
        options);
}

bool SdkManager::startMacro(std::shared_ptr<const macro::Recording> recording,
                            const macroreplay::Options &options)
{
    return recording && d->startMacro([recording](QString *) { return recording; }, options);
}

void SdkManager::stopMacro()
{
    std::shared_ptr<macroreplay::Run> run;
    {
        std::lock_guard<std::mutex> locker(d->macroMutex);
        run = d->macroRun;
    }
    if (run)
        run->stop();
}

bool SdkManager::macroRunning() const
{
    std::lock_guard<std::mutex> locker(d->macroMutex);
    return d->macroRun && d->macroRun->running();
}

int SdkManager::liveReplayThreads()
{
    return syncreplay::liveThreads();
}
