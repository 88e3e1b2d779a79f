#include "phone/macroreplay.h"

#include "app/messages.h"
#include "app/payloads.h"
#include "phone/syncreplay.h"

#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

namespace macroreplay {
namespace {

using Clock = std::chrono::steady_clock;

// Longest a replay thread sleeps without looking whether its phone was unticked or restarted.
constexpr std::chrono::milliseconds checkEvery(100);
// Progress of a running phone reaches the bus at most this often.
constexpr std::chrono::milliseconds reportEvery(250);

double percentile(std::vector<double> sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t at = size_t(std::ceil(fraction * double(sorted.size()))) - 1;
    return sorted[std::min(at, sorted.size() - 1)];
}

} // namespace

bool Options::valid() const
{
    return speed >= minSpeed && speed <= maxSpeed && repeat >= 1 && repeat <= maxRepeat && staggerMs >= 0 &&
           staggerMs <= maxStaggerMs;
}

Run::Run(Options options, Post post) : m_options(options), m_post(std::move(post)) {}

void Run::start(std::shared_ptr<const macro::Recording> recording,
                std::vector<std::shared_ptr<SDKPhone>> phones)
{
    m_recording = std::move(recording);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_startedAt.assign(phones.size(), Clock::time_point());
        m_started.assign(phones.size(), false);
    }
    for (size_t i = 0; i < phones.size(); ++i) {
        ++m_live;
        try {
            std::thread([self = shared_from_this(), phone = phones[i], i] {
                self->play(phone, int(i));
            }).detach();
        } catch (const std::system_error &error) {
            qDebug() << "macro replay thread not started:" << phones[i]->deviceId() << error.what();
            report(*phones[i], int(i), 0, "failed");
            markStarted(int(i));
            ended();
        }
    }
    ended();
}

void Run::fail(const QString &error)
{
    qDebug() << "macro replay refused:" << error;
    m_stopped = true;
    ZQSlotMsg notice;
    notice.type = Msg::showDialog;
    notice.text =
        jsonToText({{QStringLiteral("type"), Dialog::notice}, {QStringLiteral("lbl_1_Text"), error}});
    m_post(notice);
    ended(error);
}

void Run::stop()
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_stopped = true;
    }
    m_wake.notify_all();
}

void Run::waitTurn(int index, const std::function<bool()> &wanted)
{
    if (index == 0 || m_options.staggerMs == 0)
        return;
    // Counted from the moment the phone before began, not from a common start: however late that
    // phone got going, this one begins at least the stagger after it.
    std::unique_lock<std::mutex> locker(m_mutex);
    for (;;) {
        if (!wanted())
            return;
        Clock::time_point due = Clock::now() + checkEvery;
        if (m_started[size_t(index) - 1]) {
            const Clock::time_point turn =
                m_startedAt[size_t(index) - 1] + std::chrono::milliseconds(m_options.staggerMs);
            if (Clock::now() >= turn)
                return;
            due = std::min(due, turn);
        }
        m_wake.wait_until(locker, due);
    }
}

void Run::markStarted(int index)
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_startedAt[size_t(index)] = Clock::now();
        m_started[size_t(index)] = true;
    }
    m_wake.notify_all();
}

bool Run::sleepUntil(Clock::time_point due, const std::function<bool()> &wanted)
{
    std::unique_lock<std::mutex> locker(m_mutex);
    while (wanted() && Clock::now() < due)
        m_wake.wait_until(locker, std::min(due, Clock::now() + checkEvery));
    return wanted();
}

void Run::report(const SDKPhone &phone, int index, int sent, const char *state, const QJsonObject &extra)
{
    const payload::MacroProgress progress{phone.cloudPhoneId(),
                                          QString::fromLatin1(phone.deviceId()),
                                          phone.name(),
                                          index,
                                          sent,
                                          int(m_recording->steps.size()) * m_options.repeat,
                                          QLatin1String(state)};
    ZQSlotMsg message;
    message.type = Msg::macroProgress;
    message.text = jsonToText(progress.json(extra));
    m_post(message);
}

void Run::ended(const QString &error)
{
    if (--m_live > 0)
        return;
    ZQSlotMsg message;
    message.type = Msg::macroFinished;
    message.text = jsonToText(payload::MacroFinished{m_stopped.load(), error}.json());
    m_post(message);
}

// Replay thread. Holds the run and the phone until every answer is back.
void Run::play(const std::shared_ptr<SDKPhone> &phone, int index)
{
    SdkSession session = *phone->identity();
    session.extra = phone.get();
    const int reboots = phone->rebootsSeen;
    const auto wanted = [&] { return !m_stopped && !phone->removed && phone->rebootsSeen == reboots; };

    report(*phone, index, 0, "waiting");
    waitTurn(index, wanted);
    if (wanted())
        syncreplay::login(*phone, &session, wanted);
    markStarted(index);

    std::vector<double> drifts;
    drifts.reserve(m_recording->steps.size() * size_t(m_options.repeat));
    int sent = 0;
    Clock::time_point lastReport = Clock::now();
    report(*phone, index, 0, "running");
    for (int round = 0; round < m_options.repeat && wanted(); ++round) {
        const Clock::time_point roundStart = Clock::now();
        for (const macro::Step &step : m_recording->steps) {
            const Clock::time_point due =
                roundStart +
                std::chrono::microseconds(qint64(double(step.offsetMs) * 1000.0 / m_options.speed));
            if (!sleepUntil(due, wanted))
                break;
            drifts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - due).count());
            syncreplay::sendEvent(*phone, &session, step.event);
            ++sent;
            if (Clock::now() - lastReport >= reportEvery) {
                lastReport = Clock::now();
                report(*phone, index, sent, "running");
            }
        }
    }
    const char *state = m_stopped                       ? "stopped"
                        : phone->removed                ? "unticked"
                        : phone->rebootsSeen != reboots ? "restarted"
                                                        : "done";
    syncreplay::waitForAnswers(*phone);
    std::sort(drifts.begin(), drifts.end());
    report(*phone, index, sent, state,
           {{QStringLiteral("driftP50Ms"), percentile(drifts, 0.5)},
            {QStringLiteral("driftP95Ms"), percentile(drifts, 0.95)},
            {QStringLiteral("driftMaxMs"), drifts.empty() ? 0.0 : drifts.back()}});
    qDebug() << "macro replay ended:" << phone->deviceId() << state << sent << "events";
    ended();
}

} // namespace macroreplay
