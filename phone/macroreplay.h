#pragma once

#include "app/zqslotmsg.h"
#include "phone/macrofile.h"
#include "phone/sdkphone.h"

#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Replays one recording on many phones, one detached thread per phone. Each thread signs the user
// into its phone and then sends the recorded events at their recorded offsets (divided by the speed
// factor), with the calls and failure logs of synchronised operation. A phone unticked, or one that
// answers "rebooting", ends its own replay; stop ends all of them.
namespace macroreplay {

struct Options
{
    double speed = 1.0;
    int repeat = 1;
    int staggerMs = 0;

    static constexpr double minSpeed = 0.1;
    static constexpr double maxSpeed = 10.0;
    static constexpr int maxRepeat = 1000;
    static constexpr int maxStaggerMs = 600000;
    bool valid() const;
};

// One replay of one recording. Progress reaches the bus through `post`, on the replay threads:
// message macroProgress per phone ({"cloudPhoneId", "deviceId", "name", "index", "sent", "total",
// "state"}, the last one with the phone's timing drift) and macroFinished once every thread ended.
class Run : public std::enable_shared_from_this<Run>
{
public:
    using Post = std::function<void(const ZQSlotMsg &)>;

    Run(Options options, Post post);

    // Pool worker, once (or fail instead). Starts a thread for each phone to replay `recording`, in
    // order; stagger counts along this order.
    void start(std::shared_ptr<const macro::Recording> recording,
               std::vector<std::shared_ptr<SDKPhone>> phones);
    // Ends the run without starting anything: posts `error` as a notice and in macroFinished.
    void fail(const QString &error);
    // Any thread; takes the run's mutex. Every thread stops sending at once and ends after the
    // answers to what it sent.
    void stop();
    // Any thread. True until every thread has ended.
    bool running() const { return m_live > 0; }

private:
    void play(const std::shared_ptr<SDKPhone> &phone, int index);
    void waitTurn(int index, const std::function<bool()> &wanted);
    void markStarted(int index);
    bool sleepUntil(std::chrono::steady_clock::time_point due, const std::function<bool()> &wanted);
    void report(const SDKPhone &phone, int index, int sent, const char *state, const QJsonObject &extra = {});
    void ended(const QString &error = QString());

    // Set once by start, before any thread that reads it exists.
    std::shared_ptr<const macro::Recording> m_recording;
    const Options m_options;
    const Post m_post;
    std::atomic<bool> m_stopped{false};
    // The start task counts as one, so that nothing reads as finished before every thread began.
    std::atomic<int> m_live{1};

    std::mutex m_mutex; // guards m_startedAt
    std::condition_variable m_wake;
    // When each phone's replay began (its login answered), for the stagger of the next one.
    std::vector<std::chrono::steady_clock::time_point> m_startedAt;
    std::vector<bool> m_started;
};

} // namespace macroreplay
