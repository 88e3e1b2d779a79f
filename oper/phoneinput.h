#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QList>

#include <deque>
#include <memory>
#include <mutex>

// One phone's keys, texts and function keys, sent in the order given: the next request leaves when
// the library has answered the one before. The library spreads requests over several connections
// and does not keep their order, and keys typed out of order are wrong text.
//
// Input that meets an unreachable, restarting or refusing phone is dropped with the rest of the
// queue, so that nothing stale is typed minutes later.
class PhoneInput : public std::enable_shared_from_this<PhoneInput>
{
public:
    // Longest queue; input beyond it is refused with a log line.
    static constexpr size_t maxPending = 8192;

    // `deviceUcId` and `deviceId` must fit the library's limits (255 and 31 bytes).
    static std::shared_ptr<PhoneInput> create(const QByteArray &deviceUcId, const QByteArray &deviceId);

    // GUI thread; take the queue mutex, never across a library call.
    void sendKey(const QByteArray &payload);
    // The pieces of one text; when one fails, the rest of that text is dropped.
    void sendText(const QList<QByteArray> &pieces);
    void sendFunctionKey(int code);

private:
    enum Kind
    {
        Key,
        Text,
        FunctionKey
    };
    struct Item
    {
        Kind kind;
        int code; // function keys
        QByteArray data;
        quint64 textId; // pieces of one text share it
    };

    PhoneInput(const QByteArray &deviceUcId, const QByteArray &deviceId);
    void push(std::deque<Item> items);
    // No lock held.
    void send(const Item &item);
    // Library thread (delivery): logs the answer and sends what waits.
    static void onResult(SdkSession *session, int, int code, const void *, int);
    void finished(int code);

    char m_deviceUcId[256] = {};
    char m_deviceId[256] = {};
    SdkSession m_session;

    std::mutex m_mutex; // guards everything below
    std::deque<Item> m_pending;
    Item m_current{Key, 0, QByteArray(), 0};
    quint64 m_nextTextId = 1;
    // Set while a request is out: the answer's callback owns the queue until then.
    std::shared_ptr<PhoneInput> m_inFlight;
};
