#pragma once

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/zqslotmsg.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QTest>

#include <functional>
#include <initializer_list>

namespace testsupport {

// GUI thread. Hands pending messages of the process-wide bus to their subscribers (tests run no
// dispatcher loop), and what the receivers post in turn, `rounds` hops deep.
inline void pump(int rounds = 3)
{
    for (int round = 0; round < rounds; ++round) {
        g_eventManager.dispatchPending();
        QCoreApplication::sendPostedEvents();
    }
}

// GUI thread. Bounded poll that keeps the bus and the event loop going; whether `done` came true.
inline bool waitFor(const std::function<bool()> &done, int ms = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (pump(), !done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// Ticks or unticks a phone as its box in the device tree does.
inline void tick(int cloudPhoneId, bool checked = true)
{
    post(Msg::phoneChecked,
         {{QStringLiteral("cloudId"), cloudPhoneId}, {QStringLiteral("isChecked"), checked}});
}

// Records the bus messages of the types it subscribes to, in arrival order. GUI thread.
class BusRecorder : public QObject
{
public:
    explicit BusRecorder(std::initializer_list<int> types = {}) : BusRecorder(g_eventManager, types) {}
    // On a bus of the test's own; the test may subscribe it to more there.
    explicit BusRecorder(EventManager &bus, std::initializer_list<int> types = {}) : m_bus(bus)
    {
        for (int type : types)
            bus.subscribe(type, this);
    }
    ~BusRecorder() override { m_bus.unsubscribe(this); }

    QList<ZQSlotMsg> got;

    QList<ZQSlotMsg> messages(int type) const
    {
        QList<ZQSlotMsg> out;
        for (const ZQSlotMsg &m : got)
            if (m.type == type)
                out.append(m);
        return out;
    }

    QList<QJsonObject> payloads(int type) const
    {
        QList<QJsonObject> out;
        for (const ZQSlotMsg &m : messages(type))
            out.append(textToJson(m.text));
        return out;
    }

    // The plain texts of `type` (messages that carry a digit or an id rather than JSON).
    QStringList texts(int type) const
    {
        QStringList out;
        for (const ZQSlotMsg &m : messages(type))
            out.append(m.text);
        return out;
    }

    // The texts of the plain notices (Msg::showDialog, Dialog::notice) in the order posted.
    QStringList notices() const
    {
        QStringList out;
        for (const ZQSlotMsg &m : messages(Msg::showDialog)) {
            const payload::DialogRequest request = payload::DialogRequest::read(m.text);
            if (request.kind == Dialog::notice)
                out.append(request.label);
        }
        return out;
    }

    // Delivers what is queued on the bus for this recorder and hands out everything recorded so far.
    QList<ZQSlotMsg> take()
    {
        m_bus.dispatchPending();
        QCoreApplication::sendPostedEvents(this, 0);
        QList<ZQSlotMsg> out;
        out.swap(got);
        return out;
    }

protected:
    bool event(QEvent *e) override
    {
        if (!PhoneEvent::isBusEvent(e))
            return QObject::event(e);
        got.append(static_cast<PhoneEvent *>(e)->message());
        return true;
    }

private:
    EventManager &m_bus;
};

} // namespace testsupport
