#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
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

    // PhoneState. Written by pool tasks and replay threads, read without a lock.
    std::atomic<int32_t> state{PhoneCreated};
    // True while the phone's replay thread runs. That thread must hold its own reference to the
    // phone, so that destruction never has to wait for it.
    std::atomic<bool> replayRunning{false};
    // Mirrored input waiting for the replay thread. Lock order: the registry mutex, then this one.
    std::mutex eventMutex;
    std::vector<SyncEvent> pendingEvents;

private:
    char m_deviceUcId[textBufferSize];
    char m_deviceId[textBufferSize];
    SdkSession m_identity;
    const int m_cloudPhoneId;
    const QString m_name;
};
