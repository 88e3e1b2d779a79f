#include "oper/phoneinput.h"

#include "phone/phonetext.h"

#include <QDebug>

namespace {

const char *functionKeyFailure(int code)
{
    switch (code) {
    case CC_KEY_BACK:
        return " AFK_KEY_BACK error, deviceId:";
    case CC_KEY_HOMEPAGE:
        return " AFK_KEY_HOMEPAGE error, deviceId:";
    case CC_KEY_APPSELECT:
        return " AFK_KEY_APPSELECT error, deviceId:";
    default:
        return " function key error, deviceId:";
    }
}

} // namespace

std::shared_ptr<PhoneInput> PhoneInput::create(const QByteArray &deviceUcId, const QByteArray &deviceId)
{
    return std::shared_ptr<PhoneInput>(new PhoneInput(deviceUcId, deviceId));
}

PhoneInput::PhoneInput(const QByteArray &deviceUcId, const QByteArray &deviceId)
    : m_session{m_deviceUcId, m_deviceId, this}
{
    phonetext::fill(m_deviceUcId, sizeof m_deviceUcId, deviceUcId);
    phonetext::fill(m_deviceId, sizeof m_deviceId, deviceId);
}

void PhoneInput::sendKey(const QByteArray &payload)
{
    push({Item{Key, 0, payload, 0}});
}

void PhoneInput::sendText(const QList<QByteArray> &pieces)
{
    std::deque<Item> items;
    quint64 id;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        id = m_nextTextId++;
    }
    for (const QByteArray &piece : pieces)
        items.push_back(Item{Text, 0, piece, id});
    push(std::move(items));
}

void PhoneInput::sendFunctionKey(int code)
{
    push({Item{FunctionKey, code, QByteArray(), 0}});
}

void PhoneInput::push(std::deque<Item> items)
{
    Item first{Key, 0, QByteArray(), 0};
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_pending.size() + items.size() > maxPending) {
            qDebug() << "phone input queue full, input dropped:" << m_deviceId;
            return;
        }
        for (Item &item : items)
            m_pending.push_back(std::move(item));
        if (m_inFlight || m_pending.empty())
            return;
        m_inFlight = shared_from_this();
        m_current = m_pending.front();
        m_pending.pop_front();
        first = m_current;
    }
    send(first);
}

void PhoneInput::send(const Item &item)
{
    // Each call reports through onResult exactly once, also when the library refuses at once.
    switch (item.kind) {
    case Key:
        cc_core_send_key_event_tob(&m_session, item.data.constData(), item.data.size(), &onResult);
        break;
    case Text:
        cc_core_send_text_event_tob(&m_session, item.data.constData(), item.data.size(), &onResult);
        break;
    case FunctionKey:
        cc_core_send_function_key_tob(&m_session, item.code, &onResult);
        break;
    }
}

void PhoneInput::onResult(SdkSession *session, int, int code, const void *, int)
{
    static_cast<PhoneInput *>(session->extra)->finished(code);
}

void PhoneInput::finished(int code)
{
    std::shared_ptr<PhoneInput> keep;
    Item next{Key, 0, QByteArray(), 0};
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        const Item &done = m_current;
        if (done.kind == Key)
            qDebug() << " signalKey, deviceId:" << m_deviceId << ", code:" << code;
        else if (code < 0 && done.kind == Text)
            qDebug() << " sync clipboard error, deviceId:" << m_deviceId << ", code:" << code;
        else if (code < 0 &&
                 (done.code == CC_KEY_BACK || done.code == CC_KEY_HOMEPAGE || done.code == CC_KEY_APPSELECT))
            qDebug() << functionKeyFailure(done.code) << m_deviceId << ", code:" << code;
        if (code == CC_ERR_BAD_ARGUMENT && done.kind == Text) {
            const quint64 text = done.textId;
            const auto before = m_pending.size();
            while (!m_pending.empty() && m_pending.front().textId == text)
                m_pending.pop_front();
            if (m_pending.size() != before)
                qDebug() << " rest of the text dropped," << before - m_pending.size() << "pieces";
        } else if (code < 0 && code != CC_ERR_BAD_ARGUMENT && !m_pending.empty()) {
            qDebug() << " phone input dropped, the phone did not take it:" << m_deviceId << m_pending.size();
            m_pending.clear();
        }
        if (m_pending.empty()) {
            keep = std::move(m_inFlight);
            return;
        }
        m_current = m_pending.front();
        m_pending.pop_front();
        next = m_current;
    }
    send(next);
}
