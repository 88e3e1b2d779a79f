// Synchronised operation at scale: one master and many ticked farm phones. Prints the delay from a
// key recorded on the master to each target's answer (the farm answers once the key changed the
// screen), for the session manager's wake-ups and for a peer that polls every 100 ms in the
// distributor and in each replay thread, and for the same keys sent straight to the library (the
// floor the farm and the machine set), and the process's CPU while idle in sync mode.
//   build/bin/bench_sync [targets]
#include "app/eventmanager.h"
#include "app/threadpool.h"
#include "phone/sdkmanager.h"
#include "phone/syncreplay.h"
#include "tests/phone/phonefarm.h"
#include "tests/support/cputime.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::processCpuSeconds;

constexpr int keystrokes = 30;
constexpr int enterKey = 66;
const auto keyGap = std::chrono::milliseconds(60); // a quick typist

// When each target's answers came back, by deviceId, in order.
std::mutex answersLock;
std::unordered_map<std::string, std::vector<Clock::time_point>> answers;

void noteAnswer(const std::string &deviceId)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> locker(answersLock);
    answers[deviceId].push_back(now);
}

// The session manager logs every key answer; the log line is where its replay is observed.
void watchLog(QtMsgType, const QMessageLogContext &, const QString &text)
{
    static const QRegularExpression key(QStringLiteral("^ signalKey, deviceId: \"([^\"]+)\" , code: 0"));
    const QRegularExpressionMatch match = key.match(text);
    if (match.hasMatch())
        noteAnswer(match.captured(1).toStdString());
}

SyncEvent enterEvent()
{
    SyncEvent event;
    event.type = SyncKey;
    event.code = enterKey;
    event.length = 8;
    qToLittleEndian<qint32>(enterKey, event.data);
    event.data[4] = 1;
    return event;
}

// Library thread (the polling peer's answers).
void onPeerAnswer(SdkSession *session, int, int code, const void *, int)
{
    if (code >= 0)
        noteAnswer(session->deviceId);
}

// Distributor and replay threads that sleep 100 ms whenever they find nothing to do.
class PollingPeer
{
public:
    explicit PollingPeer(const std::vector<std::pair<QByteArray, QByteArray>> &phones)
    {
        for (const auto &phone : phones)
            m_targets.push_back(std::make_unique<Target>(phone.first, phone.second));
        m_threads.emplace_back([this] { distribute(); });
        for (auto &target : m_targets)
            m_threads.emplace_back([this, t = target.get()] { replay(*t); });
    }
    ~PollingPeer()
    {
        m_on = false;
        for (std::thread &thread : m_threads)
            thread.join();
    }
    void record(const SyncEvent &event)
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_recorded.push_back(event);
    }

private:
    struct Target
    {
        Target(const QByteArray &id, const QByteArray &credential) : id(id), credential(credential) {}
        QByteArray id, credential;
        std::mutex lock;
        std::vector<SyncEvent> queue;
    };
    void distribute()
    {
        while (m_on) {
            std::vector<SyncEvent> taken;
            {
                std::lock_guard<std::mutex> locker(m_lock);
                taken.swap(m_recorded);
            }
            for (auto &target : m_targets) {
                std::lock_guard<std::mutex> locker(target->lock);
                target->queue.insert(target->queue.end(), taken.begin(), taken.end());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    void replay(Target &target)
    {
        SdkSession session{target.credential.constData(), target.id.constData(), nullptr};
        while (m_on) {
            std::vector<SyncEvent> taken;
            {
                std::lock_guard<std::mutex> locker(target.lock);
                taken.swap(target.queue);
            }
            if (taken.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (const SyncEvent &event : taken)
                cc_core_send_key_event_tob(&session, event.data, event.length, &onPeerAnswer);
        }
    }

    std::atomic<bool> m_on{true};
    std::mutex m_lock;
    std::vector<SyncEvent> m_recorded;
    std::vector<std::unique_ptr<Target>> m_targets;
    std::vector<std::thread> m_threads;
};

struct Figures
{
    double p50 = 0, p95 = 0, max = 0;
    int missing = 0;
};

// Records `keystrokes` keys through `record` and pairs every target's answers with them.
template <class Record> Figures measure(const std::vector<QByteArray> &ids, Record record)
{
    {
        std::lock_guard<std::mutex> locker(answersLock);
        answers.clear();
    }
    std::vector<Clock::time_point> sent;
    for (int i = 0; i < keystrokes; ++i) {
        sent.push_back(Clock::now());
        record(enterEvent());
        std::this_thread::sleep_for(keyGap);
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    Figures figures;
    std::vector<double> delays;
    for (;;) {
        delays.clear();
        figures.missing = 0;
        {
            std::lock_guard<std::mutex> locker(answersLock);
            for (const QByteArray &id : ids) {
                const std::vector<Clock::time_point> &got = answers[id.toStdString()];
                figures.missing += keystrokes - int(std::min<size_t>(got.size(), keystrokes));
                for (size_t k = 0; k < got.size() && k < sent.size(); ++k)
                    delays.push_back(std::chrono::duration<double, std::milli>(got[k] - sent[k]).count());
            }
        }
        if (figures.missing == 0 || Clock::now() > deadline)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        figures.p50 = delays[delays.size() / 2];
        figures.p95 = delays[std::min(delays.size() - 1, delays.size() * 95 / 100)];
        figures.max = delays.back();
    }
    return figures;
}

void printFigures(const char *name, const Figures &f)
{
    std::printf("  %-22s p50 %7.1f ms  p95 %7.1f ms  max %7.1f ms%s\n", name, f.p50, f.p95, f.max,
                f.missing ? qPrintable(QStringLiteral("  (%1 answers missing)").arg(f.missing)) : "");
}

bool run(int targets, int firstId)
{
    ThreadPool pool(2);
    EventManager bus;
    SdkManager manager(pool, bus);
    manager.setOperatePolicy(nullptr);
    const QByteArray masterId = "PMBENCHM" + QByteArray::number(firstId);
    manager.addPhone(firstId, QString::fromLatin1(masterId),
                     QString::fromLatin1(PhoneFarm::credential(masterId)), QString());
    std::vector<QByteArray> ids;
    std::vector<std::pair<QByteArray, QByteArray>> phones;
    for (int i = 1; i <= targets; ++i) {
        const QByteArray id = "PMBENCH" + QByteArray::number(firstId + i);
        const QByteArray credential = PhoneFarm::credential(id);
        ids.push_back(id);
        phones.emplace_back(id, credential);
        manager.addPhone(firstId + i, QString::fromLatin1(id), QString::fromLatin1(credential), QString());
        runShell(id, credential, "am start -n com.pmapps.notes/.MainActivity");
    }
    while (manager.phoneCount() < targets + 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::printf("%d targets\n", targets);
    manager.startSync(firstId);
    const Clock::time_point loginDeadline = Clock::now() + std::chrono::seconds(60);
    const auto allLoggedIn = [&] {
        for (const QByteArray &id : ids)
            if (syncreplay::loginState(id).value_or(-1) == -1)
                return false;
        return true;
    };
    while (!allLoggedIn() && Clock::now() < loginDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    // Idle: the session is on and nobody types; 5 s from 10 targets on, shorter for a handful.
    const double cpuBefore = processCpuSeconds();
    const Clock::time_point idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500 * std::min(targets, 10)));
    const double idleCpu = (processCpuSeconds() - cpuBefore) /
                           std::chrono::duration<double>(Clock::now() - idleStart).count() * 100.0;

    const Figures woken = measure(ids, [&](const SyncEvent &event) { manager.recordSyncEvent(event); });
    manager.stopSync();
    while (SdkManager::liveReplayThreads() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    Figures polled;
    {
        PollingPeer peer(phones);
        polled = measure(ids, [&](const SyncEvent &event) { peer.record(event); });
    }
    // The floor: the same keys sent straight to every target from the recording thread.
    std::vector<SdkSession> sessions;
    for (const auto &phone : phones)
        sessions.push_back({phone.second.constData(), phone.first.constData(), nullptr});
    const Figures direct = measure(ids, [&](const SyncEvent &event) {
        for (SdkSession &session : sessions)
            cc_core_send_key_event_tob(&session, event.data, event.length, &onPeerAnswer);
    });
    printFigures("direct calls (floor)", direct);
    printFigures("wake-ups", woken);
    printFigures("100 ms polling (peer)", polled);
    std::printf("  p95 ratio wake-ups / polling: %.2f   (target p95 <= 50 ms)\n",
                polled.p95 > 0 ? woken.p95 / polled.p95 : 0.0);
    std::printf("  idle CPU in sync mode: %.2f %% of a core   (target <= 2 %%)\n", idleCpu);
    return woken.missing == 0 && polled.missing == 0 && direct.missing == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv); // the library expects a QApplication
    const int targets = argc > 1 ? qBound(1, QByteArray(argv[1]).toInt(), 1000) : 100;
    PhoneFarm farm;
    QString error;
    if (!farm.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    qInstallMessageHandler(watchLog);
    bool complete = run(std::max(1, targets / 10), 1000);
    complete = run(targets, 2000) && complete;
    cc_core_uninit();
    return complete ? 0 : 1;
}
