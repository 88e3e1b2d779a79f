#include "phone/sdkmanager.h"

#include "app/eventmanager.h"
#include "app/messages.h"
#include "app/threadpool.h"
#include "phone/callbackslot.h"
#include "phone/phonetext.h"
#include "phone/sessionregistry.h"

#include <QRegularExpression>
#include <QtDebug>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

using sdkresults::postResult;

namespace {

struct SessionResults; // tag of the callbacks' slot

using ResultSlot = CallbackSlot<SessionResults, SessionRegistry>;

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

namespace sdkresults {

void postResult(const ZQSlotMsg &message)
{
    ResultSlot::with([&](SessionRegistry &registry) { registry.bus.post(message); });
}

} // namespace sdkresults

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
