#pragma once

// What the session manager's two files share; not part of the API.

#include "app/zqslotmsg.h"
#include "phone/macrofile.h"
#include "phone/macroreplay.h"
#include "phone/sdkmanager.h"
#include "phone/sdkphone.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class EventManager;
class ThreadPool;

namespace sdkresults {

// Library thread. Takes the result slot's lock, then the bus's queue lock.
void postResult(const ZQSlotMsg &message);

} // namespace sdkresults

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
