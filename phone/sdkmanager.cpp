#include "phone/sdkmanager.h"

#include "app/eventmanager.h"
#include "app/messages.h"
#include "app/threadpool.h"
#include "phone/callbackslot.h"
#include "phone/phonetext.h"
#include "phone/syncreplay.h"

#include <QRegularExpression>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

struct SessionResults; // tag of the callbacks' slot

using ResultSlot = CallbackSlot<SessionResults, SessionRegistry>;

// Library thread. Takes the result slot's lock, then the bus's queue lock.
void postResult(const ZQSlotMsg &message);

QString deviceIdOf(const SdkSession *session)
{
    return session && session->deviceId ? QString::fromLatin1(session->deviceId) : QString();
}

QString dataText(const void *data, int length)
{
    return data && length > 0 ? QString::fromUtf8(static_cast<const char *>(data), length) : QString();
}

// Library thread. Logs every outcome of a batch command.
void onAppCommandResult(SdkSession *session, int, int code, const void *data, int length)
{
    qDebug() << "operApp deviceId:" << deviceIdOf(session) << ", code:" << code << dataText(data, length);
}

// Library thread: only logs.
void onHomeKeyResult(SdkSession *session, int, int code, const void *, int)
{
    if (code < 0)
        qDebug().noquote() << QStringLiteral(" return to home error, deviceId:") + deviceIdOf(session) +
                                  QStringLiteral(", code:") + QString::number(code);
}

// Library thread: only logs.
void onTextResult(SdkSession *session, int, int code, const void *, int)
{
    if (code < 0)
        qDebug().noquote() << QStringLiteral(" clipboard text error, deviceId:") + deviceIdOf(session) +
                                  QStringLiteral(", code:") + QString::number(code);
}

// The texts that name one phone to the library, checked against its buffers; false with a log line.
bool sessionTexts(const QString &deviceId, const QString &deviceUcId, QByteArray *id, QByteArray *credential)
{
    return phonetext::toFixed(deviceId, phonetext::sessionDeviceIdLimit, "deviceId", id) &&
           phonetext::toFixed(deviceUcId, phonetext::longTextLimit, "deviceUcId", credential);
}

// Library thread.
void onInstalledPackages(SdkSession *session, int, int code, const void *data, int length)
{
    if (code < 0) {
        qDebug() << "cc_core_send_get_installed_package_msg_tob,deviceId" << deviceIdOf(session) << "失败";
        return;
    }
    ZQSlotMsg message;
    message.type = Msg::installedPackages;
    message.setBuffer(deviceIdOf(session).toLatin1());
    message.text = dataText(data, length);
    postResult(message);
}

// Library thread.
void onScreencap(SdkSession *session, int, int code, const void *data, int length)
{
    // An empty picture would be saved as an empty file: it counts as a failure.
    if (code < 0 || !data || length <= 0) {
        qDebug() << "cc_core_send_screencap_msg_tob error,deviceId" << deviceIdOf(session) << " code" << code;
        return;
    }
    ZQSlotMsg message;
    message.type = Msg::screenshot;
    message.setBuffer(deviceIdOf(session).toLatin1());
    message.setBinary(QByteArray(static_cast<const char *>(data), length));
    postResult(message);
}

// Android package names: dot-separated words of letters, digits and underscores. Anything else
// would reach the phone's shell as more than a package name.
bool isPackageName(const QString &package)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_]+(\\.[A-Za-z0-9_]+)*$"));
    return pattern.match(package).hasMatch();
}

} // namespace

// Everything the pool's jobs work on. Jobs hold a reference of their own, so the manager may go
// while they are queued.
struct SessionRegistry : std::enable_shared_from_this<SessionRegistry>
{
    using Job = std::function<void(SessionRegistry &)>;

    SessionRegistry(ThreadPool &pool, EventManager &bus) : pool(pool), bus(bus)
    {
        phones.rehash(8);
        phones.max_load_factor(1.0f);
    }

    // Any thread; takes the job mutex. Jobs run one at a time in the order queued, so a tick
    // followed by an untick always ends unticked, whichever workers are free.
    static void enqueue(const std::shared_ptr<SessionRegistry> &self, Job job);
    // Pool worker: runs queued jobs until none is left. No lock is held while a job runs.
    void drain();

    // Jobs, on a pool worker. They take the registry mutex (and add the policy mutex, erase a phone's
    // event mutex) one at a time, never across the policy or a library call.
    void add(int cloudPhoneId, const QByteArray &deviceId, const QByteArray &deviceUcId, const QString &name);
    void erase(int cloudPhoneId);
    void sendToAll(const QByteArray &command);
    void startTask(int masterId);
    void stopTask();
    // Any thread; takes the distribution mutex, then the recorder mutex, then the registry mutex
    // and each target's event mutex. Hands what was recorded to every sync target as one batch;
    // the distribution mutex keeps batches in recording order whoever flushes.
    void flushRecorder();
    // Pool worker, for as long as synchronised operation lasts; one at a time.
    void distributeLoop();
    void requestPackages();
    // Any thread; takes the macro mutex, then the job mutex.
    bool startMacro(const std::function<std::shared_ptr<const macro::Recording>(QString *)> &load,
                    const macroreplay::Options &options);
    // Any thread; takes the registry mutex.
    std::vector<std::shared_ptr<SDKPhone>> snapshot() const;

    ThreadPool &pool;
    EventManager &bus;

    mutable std::mutex registryMutex; // guards phones only; never held across a library call
    std::unordered_map<int, std::shared_ptr<SDKPhone>> phones;

    std::mutex policyMutex;
    SdkManager::OperatePolicy mayOperate;

    std::atomic<int> syncMaster{0};
    std::mutex distributeMutex;
    std::mutex recorderMutex; // guards the four fields below
    std::condition_variable recorderWake;
    std::vector<SyncEvent> recorded;
    bool recording = false;
    bool distributorRunning = false;
    // Start tasks asked for and not yet run. Meanwhile recorded events wait in the recorder: the
    // targets they are for do not exist yet.
    int startsPending = 0;

    mutable std::mutex macroMutex; // guards macroRun; never held with another lock
    std::shared_ptr<macroreplay::Run> macroRun;

    std::mutex jobMutex; // guards jobs, draining and ticked
    std::deque<Job> jobs;
    bool draining = false;
    // The phones as the GUI last ticked them, ahead of the queued jobs that register them: a package
    // request asked right after a tick must not see an empty registry.
    std::unordered_set<int> ticked;
};

namespace {

void postResult(const ZQSlotMsg &message)
{
    ResultSlot::with([&](SessionRegistry &registry) { registry.bus.post(message); });
}

} // namespace

void SessionRegistry::enqueue(const std::shared_ptr<SessionRegistry> &self, Job job)
{
    {
        std::lock_guard<std::mutex> locker(self->jobMutex);
        self->jobs.push_back(std::move(job));
        if (self->draining)
            return;
        self->draining = true;
    }
    try {
        self->pool.commit([self] { self->drain(); });
    } catch (const std::runtime_error &) {
        // The pool stops only with the program; nobody is left to see the command's effect.
        std::lock_guard<std::mutex> locker(self->jobMutex);
        self->jobs.clear();
        self->draining = false;
        qDebug() << "sdkManager: pool stopped, commands dropped";
    }
}

void SessionRegistry::drain()
{
    for (;;) {
        Job job;
        {
            std::lock_guard<std::mutex> locker(jobMutex);
            if (jobs.empty()) {
                draining = false;
                return;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        try {
            job(*this);
        } catch (const std::exception &error) {
            // Keep draining: the jobs after this one must not wait for ever.
            qDebug() << "sdkManager job failed:" << error.what();
        }
    }
}

void SessionRegistry::add(int cloudPhoneId, const QByteArray &deviceId, const QByteArray &deviceUcId,
                          const QString &name)
{
    SdkManager::OperatePolicy policy;
    {
        std::lock_guard<std::mutex> locker(policyMutex);
        policy = mayOperate;
    }
    if (policy && !policy(cloudPhoneId)) {
        qDebug() << "sdkManager: restricted phone not registered:" << cloudPhoneId << name;
        std::lock_guard<std::mutex> locker(jobMutex);
        ticked.erase(cloudPhoneId);
        return;
    }
    std::lock_guard<std::mutex> locker(registryMutex);
    auto found = phones.find(cloudPhoneId);
    if (found == phones.end())
        found =
            phones.emplace(cloudPhoneId, std::make_shared<SDKPhone>(cloudPhoneId, deviceId, deviceUcId, name))
                .first;
    found->second->state = PhoneRegistered;
}

void SessionRegistry::erase(int cloudPhoneId)
{
    std::shared_ptr<SDKPhone> gone;
    {
        std::lock_guard<std::mutex> locker(registryMutex);
        const auto found = phones.find(cloudPhoneId);
        if (found == phones.end())
            return;
        gone = std::move(found->second);
        phones.erase(found);
    }
    // An unticked phone mirrors nothing more: its replay drops what it holds, sees state 1 and an
    // empty queue, and ends without anyone waiting for it.
    int32_t target = PhoneSyncTarget;
    gone->state.compare_exchange_strong(target, PhoneRegistered);
    gone->removed = true;
    std::lock_guard<std::mutex> locker(gone->eventMutex);
    gone->pendingEvents.clear();
    gone->eventsReady.notify_all();
}

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

std::vector<std::shared_ptr<SDKPhone>> SessionRegistry::snapshot() const
{
    std::vector<std::shared_ptr<SDKPhone>> list;
    std::lock_guard<std::mutex> locker(registryMutex);
    list.reserve(phones.size());
    for (const auto &entry : phones)
        list.push_back(entry.second);
    return list;
}

void SessionRegistry::sendToAll(const QByteArray &command)
{
    for (const std::shared_ptr<SDKPhone> &phone : snapshot())
        cc_core_send_adb_command_msg_tob(phone->identity(), command.constData(), &onAppCommandResult, 0);
}

void SessionRegistry::requestPackages()
{
    std::shared_ptr<SDKPhone> first;
    {
        std::lock_guard<std::mutex> locker(registryMutex);
        if (phones.empty()) {
            qDebug() << "sdkManager: no phone registered, no package list";
            return;
        }
        first = phones.begin()->second;
    }
    cc_core_send_get_installed_package_msg_tob(first->identity(), &onInstalledPackages);
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

SdkManager::SdkManager(ThreadPool &pool, EventManager &bus) : d(std::make_shared<SessionRegistry>(pool, bus))
{
    if (!ResultSlot::attach(d.get()))
        qDebug() << "sdkManager: another session manager receives the library's results";
}

SdkManager::~SdkManager()
{
    // The distributor holds a pool worker while recording lasts; the pool's join must not wait for it.
    stopSync();
    stopMacro();
    ResultSlot::detach(d.get());
}

void SdkManager::setOperatePolicy(OperatePolicy policy)
{
    std::lock_guard<std::mutex> locker(d->policyMutex);
    d->mayOperate = std::move(policy);
}

void SdkManager::addPhone(int cloudPhoneId, const QString &deviceId, const QString &deviceUcId,
                          const QString &name)
{
    QByteArray id, credential;
    if (!phonetext::toFixed(deviceId, phonetext::longTextLimit, "deviceId", &id) ||
        !phonetext::toFixed(deviceUcId, phonetext::longTextLimit, "deviceUcId", &credential)) {
        qDebug() << "sdkManager.addPhone refused:" << cloudPhoneId << name;
        return;
    }
    {
        std::lock_guard<std::mutex> locker(d->jobMutex);
        d->ticked.insert(cloudPhoneId);
    }
    SessionRegistry::enqueue(
        d, [=](SessionRegistry &registry) { registry.add(cloudPhoneId, id, credential, name); });
}

void SdkManager::erasePhone(int cloudPhoneId)
{
    {
        std::lock_guard<std::mutex> locker(d->jobMutex);
        d->ticked.erase(cloudPhoneId);
    }
    SessionRegistry::enqueue(d, [cloudPhoneId](SessionRegistry &registry) { registry.erase(cloudPhoneId); });
}

QByteArray SdkManager::appCommand(int code, const QString &package)
{
    switch (code) {
    case AppStart:
        return "monkey -p " + package.toLocal8Bit() + " -c android.intent.category.LAUNCHER 1";
    case AppStop:
        return "am force-stop " + package.toLocal8Bit();
    case AppUninstall:
        return "pm uninstall --user 0 " + package.toLocal8Bit();
    default:
        return {};
    }
}

void SdkManager::operApp(int code, const QString &package)
{
    const QByteArray command = appCommand(code, package);
    if (command.isEmpty())
        return;
    if (!isPackageName(package) || command.size() > CC_MAX_COMMAND_BYTES) {
        qDebug() << "operApp refused, not a package name:" << package.left(64) << "code" << code;
        return;
    }
    SessionRegistry::enqueue(d, [command](SessionRegistry &registry) { registry.sendToAll(command); });
}

bool SdkManager::sendHomeKey(const QString &deviceId, const QString &deviceUcId)
{
    QByteArray id, credential;
    if (!sessionTexts(deviceId, deviceUcId, &id, &credential))
        return false;
    // The library copies the texts before returning; the job's copies outlive the call.
    SessionRegistry::enqueue(d, [id, credential](SessionRegistry &) {
        SdkSession session{credential.constData(), id.constData(), nullptr};
        cc_core_send_function_key_tob(&session, CC_KEY_HOMEPAGE, &onHomeKeyResult);
    });
    return true;
}

bool SdkManager::sendClipboardText(const QString &deviceId, const QString &deviceUcId, const QByteArray &text)
{
    // The library reads the text up to its first zero byte.
    const QByteArray typed = text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    QByteArray id, credential;
    if (typed.isEmpty() || typed.size() > clipboardTextLimit ||
        !sessionTexts(deviceId, deviceUcId, &id, &credential))
        return false;
    SessionRegistry::enqueue(d, [id, credential, typed](SessionRegistry &) {
        SdkSession session{credential.constData(), id.constData(), nullptr};
        cc_core_send_text_event_tob(&session, typed.constData(), typed.size(), &onTextResult);
    });
    return true;
}

bool SdkManager::requestInstalledPackages()
{
    {
        std::lock_guard<std::mutex> locker(d->jobMutex);
        if (d->ticked.empty())
            return false;
    }
    // Queued behind the registrations of the phones just ticked, so it finds them registered.
    SessionRegistry::enqueue(d, [](SessionRegistry &registry) { registry.requestPackages(); });
    return true;
}

void SdkManager::requestScreencap(SdkSession session)
{
    const size_t credentialLength =
        session.deviceUcId ? strnlen(session.deviceUcId, phonetext::longTextLimit + 1) : 0;
    const size_t idLength =
        session.deviceId ? strnlen(session.deviceId, phonetext::sessionDeviceIdLimit + 1) : 0;
    if (credentialLength == 0 || credentialLength > size_t(phonetext::longTextLimit) || idLength == 0 ||
        idLength > size_t(phonetext::sessionDeviceIdLimit)) {
        qDebug() << "requestScreencap refused: missing or over-long phone texts";
        return;
    }
    // Copies: the control window's buffers may be gone before the task runs.
    const QByteArray credential(session.deviceUcId, int(credentialLength));
    const QByteArray id(session.deviceId, int(idLength));
    try {
        d->pool.commit([credential, id] {
            SdkSession copy{credential.constData(), id.constData(), nullptr};
            cc_core_send_screencap_msg_tob(&copy, &onScreencap);
        });
    } catch (const std::runtime_error &) {
        qDebug() << "requestScreencap: pool stopped," << id;
    }
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

std::shared_ptr<SDKPhone> SdkManager::phone(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(d->registryMutex);
    const auto found = d->phones.find(cloudPhoneId);
    return found == d->phones.end() ? nullptr : found->second;
}

int SdkManager::phoneCount() const
{
    std::lock_guard<std::mutex> locker(d->registryMutex);
    return int(d->phones.size());
}
