#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// What one phone is told about one stored file: the phone library's session texts and the file's
// address, in the fixed zero-filled buffers the library call takes.
struct TransferTask
{
    static constexpr int maxCallbackBytes = 127;

    char deviceId[32] = {};
    char deviceUcId[256] = {};
    char url[1024] = {};
    bool install = false;

    // Any thread. Fills the buffers; false, with `why` saying which text does not fit (or is not
    // Latin-1), when one of them would have to be cut. Nothing is cut: a cut id names another phone
    // and a cut address another file.
    bool fill(const QString &phoneDeviceId, const QString &phoneDeviceUcId, const QString &fileUrl,
              QString *why);
};

// The code of a transfer that never reached the phone library: the library's own for a bad argument.
constexpr int transferNotSent = -1;

// Any thread. `url` with any character beyond ASCII percent-encoded, as the phone would fetch it;
// an ASCII address is returned as it is.
QString asciiAddress(const QString &url);

// A transfer that the upload page asked for. The reply names the phone and carries the library's
// result code; `deliver` gets its indented JSON text on a library thread.
struct WebTransfer
{
    TransferTask task;
    int type = 0; // 1 installs the file
    QString callback;
    std::function<void(const QByteArray &reply)> deliver;
};

// Any thread (a pool task). Tells one phone to fetch `task.url`, installing it when `task.install` is
// set. `done` runs once on a library thread with the library's code and the phone's detail text.
void sendTransfer(const TransferTask &task, std::function<void(int code, const QByteArray &detail)> done);

// Any thread (a pool task). Sends one web transfer to its phone. False, with nothing sent and no
// reply, when the callback name is longer than maxCallbackBytes.
bool sendWebTransfer(const WebTransfer &transfer);
