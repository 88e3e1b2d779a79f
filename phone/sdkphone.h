#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// What a SyncEvent carries, and so which library call replays it.
enum SyncEventType : int32_t
{
    SyncTouchUpDown = 2, // touch press/release payload
    SyncTouchMove = 3,   // touch move payload
    SyncText = 4,        // UTF-8 text
    SyncFunctionKey = 6, // code = Linux input key code
    SyncKey = 8          // code = Android key code; data = the 8-byte key payload
};

// One mirrored input of synchronised operation, replayed unchanged on every target phone.
struct SyncEvent
{
    static constexpr int dataSize = 4100;
    // Producers copy at most this many bytes into data.
    static constexpr int payloadLimit = 4096;

    int32_t type = 0;
    int32_t code = 0;   // key code of key events, else 0
    int32_t length = 0; // meaningful bytes in data
    char data[dataSize] = {};
};

// Events distributed together. One batch is shared by every target, so each event is stored once
// however many phones mirror it.
using SyncBatch = std::shared_ptr<const std::vector<SyncEvent>>;

enum PhoneState : int32_t
{
    PhoneCreated = 0,
    PhoneRegistered = 1,
    PhoneSyncTarget = 2
};

// One ticked phone as the phone library sees it. The registry and every operation that took a
// snapshot of it share ownership; it goes when the last of them lets go.
class SDKPhone
{
public:
    static constexpr int textBufferSize = 256;

    // `deviceId` and `deviceUcId` must be at most 255 bytes (SdkManager checks them first).
    SDKPhone(int cloudPhoneId, const QByteArray &deviceId, const QByteArray &deviceUcId, const QString &name);
    ~SDKPhone();

    SDKPhone(const SDKPhone &) = delete;
    SDKPhone &operator=(const SDKPhone &) = delete;

    int cloudPhoneId() const { return m_cloudPhoneId; }
    const QString &name() const { return m_name; }
    QByteArray deviceId() const { return QByteArray(m_deviceId); }
    QByteArray deviceUcId() const { return QByteArray(m_deviceUcId); }
    // What every library call for this phone receives; points into this object.
    SdkSession *identity() { return &m_identity; }

    // PhoneState. Written by pool tasks and read anywhere; a change that a replay thread must see
    // at once is followed by a notify of eventsReady.
    std::atomic<int32_t> state{PhoneCreated};
    // Set when the phone is unticked: its replay drops what it has not sent yet.
    std::atomic<bool> removed{false};
    // Replay requests answered "rebooting": the phone restarted under a replay.
    std::atomic<int> rebootsSeen{0};

    // Everything below is guarded by eventMutex. Lock order: the registry mutex, then this one.
    std::mutex eventMutex;
    // Wakes the replay thread: new batches, a state change, or an answer to one of its requests.
    std::condition_variable eventsReady;
    // Mirrored input waiting for the replay thread.
    std::vector<SyncBatch> pendingEvents;
    // True from the moment a replay thread is started until it has decided, under eventMutex, to
    // end; at most one runs per phone. That thread holds its own reference to the phone, so
    // destruction never has to wait for it.
    bool replayRunning = false;
    // Replay requests (login included) the library has not answered yet.
    int replayInFlight = 0;

private:
    char m_deviceUcId[textBufferSize];
    char m_deviceId[textBufferSize];
    SdkSession m_identity;
    const int m_cloudPhoneId;
    const QString m_name;
};
