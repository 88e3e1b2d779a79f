#pragma once

#include "coreclient/core_client.h"
#include "phone/macroreplay.h"
#include "phone/sdkphone.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class EventManager;
class ThreadPool;
struct SessionRegistry;

// The registry of ticked phones, and the one place where batch commands reach the phone library for
// all of them. Every operation returns at once: registry changes and commands run on the pool, in
// the order they were asked for; results come back as Msg::installedPackages and
// Msg::screenshot.
class SdkManager
{
public:
    enum AppOperation
    {
        AppStart = 1,
        AppStop = 2,
        AppUninstall = 3
    };
    // Whether a phone may be operated; false for a restricted phone, which is never registered.
    using OperatePolicy = std::function<bool(int cloudPhoneId)>;

    // Only the pool's address is kept, so the process-wide instance may be built before the pool.
    // `bus` must outlive the library's callbacks (the process-wide bus does).
    SdkManager(ThreadPool &pool, EventManager &bus);
    ~SdkManager();

    SdkManager(const SdkManager &) = delete;
    SdkManager &operator=(const SdkManager &) = delete;

    // GUI thread; takes the policy mutex. The policy itself is called on a pool worker, with no lock
    // of ours held, whenever a phone is registered. Without a policy every phone may be operated.
    void setOperatePolicy(OperatePolicy policy);

    // GUI thread; takes the job mutex. A phone whose texts do not fit the library's buffers is
    // refused here with a log line.
    void addPhone(int cloudPhoneId, const QString &deviceId, const QString &deviceUcId, const QString &name);
    // GUI thread; takes the job mutex. A sync target is returned to state 1 and its queued input
    // dropped, so its replay ends.
    void erasePhone(int cloudPhoneId);
    // GUI thread; takes the job mutex. Sends the shell command of `code` for `package` to every
    // registered phone; another code, or a package name that is no package name, sends nothing.
    void operApp(int code, const QString &package);
    // GUI thread; takes the job mutex. Presses the home key of one phone, registered or not. False
    // (nothing sent, a log line) when the phone's texts do not fit the library's buffers.
    bool sendHomeKey(const QString &deviceId, const QString &deviceUcId);
    // GUI thread; takes the job mutex. Hands `text` (UTF-8, cut at a zero byte) to one phone as typed
    // text. False (nothing sent) for an empty text, one of clipboardTextLimit bytes or more, or phone
    // texts that do not fit the library's buffers.
    bool sendClipboardText(const QString &deviceId, const QString &deviceUcId, const QByteArray &text);
    static constexpr int clipboardTextLimit = 1023;

    // GUI thread; takes the job mutex. False (nothing sent) when no phone is ticked. Otherwise queues,
    // behind the pending registrations, a request to one registered phone; Msg::installedPackages
    // carries the answer.
    bool requestInstalledPackages();
    // GUI thread. `session` points into the caller's buffers (deviceUcId 256 bytes, deviceId 32
    // bytes); its texts are copied before this returns. Msg::screenshot carries the PNG.
    void requestScreencap(SdkSession session);

    // Synchronised operation: the master's input is recorded, distributed to every other ticked
    // phone and replayed there by one thread per phone.
    //
    // GUI thread; takes the recorder mutex. Ignored while a master exists. Otherwise recording
    // starts at once and the start task makes the other ticked phones targets (none when the master
    // itself is not ticked).
    void startSync(int masterCloudPhoneId);
    // GUI thread; takes the recorder mutex. Recording ends at once; the stop task hands what was
    // recorded to the targets, which replay their queues and then stop mirroring.
    void stopSync();
    // Any thread. The master's cloudPhoneId, 0 when there is none.
    int syncMaster() const;
    // GUI thread (the sync master's control window); takes the recorder mutex. Keeps a copy of one
    // input of the master while recording; a payload longer than the event can hold is refused.
    // False when nothing was kept.
    bool recordSyncEvent(const SyncEvent &event);
    // Any thread. Replay threads alive in the process; they end once their phone stops mirroring.
    static int liveReplayThreads();

    // Recorded macros: one recording replayed on every registered phone, one thread per phone, in
    // cloudPhoneId order (the order the stagger counts along). Progress comes as Msg::macroProgress
    // and Msg::macroFinished.
    //
    // GUI thread; takes the macro mutex, then the job mutex. False (nothing started) while a replay
    // runs or for options out of range. Otherwise the file is read on the pool behind the pending
    // registrations; a file that cannot be replayed, or no phone registered, gives a notice and
    // Msg::macroFinished with the reason, and nothing is sent.
    bool startMacro(const QString &path, const macroreplay::Options &options);
    // As above, for a recording already in memory.
    bool startMacro(std::shared_ptr<const macro::Recording> recording, const macroreplay::Options &options);
    // Any thread; takes the macro mutex. Every phone's replay stops sending at once.
    void stopMacro();
    // Any thread; takes the macro mutex.
    bool macroRunning() const;

    // Any thread; takes the registry mutex. The registered phone, or null.
    std::shared_ptr<SDKPhone> phone(int cloudPhoneId) const;
    int phoneCount() const;

    // The shell command of an AppOperation, or an empty text for another code.
    static QByteArray appCommand(int code, const QString &package);

private:
    std::shared_ptr<SessionRegistry> d;
};

// The process-wide instance.
extern SdkManager sdkManager;
