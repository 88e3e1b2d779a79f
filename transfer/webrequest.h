#pragma once

#include "transfer/transfertask.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the upload page asks for through `onRecvWebMsg`: one file address sent to some phones, with
// the name the page wants back in every reply.
struct WebUploadRequest
{
    // The zero-terminated buffers each text travels in.
    static constexpr int maxCallbackBytes = TransferTask::maxCallbackBytes;
    static constexpr int maxUrlBytes = int(sizeof(TransferTask::url)) - 1;
    static constexpr int maxDeviceIdBytes = int(sizeof(TransferTask::deviceId)) - 1;
    // More than any account holds; a longer list is refused rather than queued.
    static constexpr int maxPhones = 10000;

    QString callback;
    QString apkurl;
    bool install = false;  // "type" 1
    QStringList deviceIds; // in the page's order; may be empty
};

// Any thread. Parses the page's JSON text. False, with `why` saying what is wrong, for text that is
// not such a request: wrong JSON types, a text longer than its limit, a phone entry without a
// "deviceId". A request without "phoneInfo" (or with an empty one) parses, naming no phones.
bool parseWebUploadRequest(const QByteArray &text, WebUploadRequest &out, QString *why);
