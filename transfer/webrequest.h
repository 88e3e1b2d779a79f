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
// "deviceId"; `out.callback` then holds the callback when it could be read. A request without
// "phoneInfo" (or with an empty one) parses, naming no phones. A "type" other than the number 1,
// or none, asks for a plain file.
bool parseWebUploadRequest(const QByteArray &text, WebUploadRequest &out, QString *why);

// The "type" of a reply to a request that was refused before any phone was asked (the library's
// bad-argument code).
constexpr int webRequestRefused = -1;

// Any thread. The one reply to a request that could not be carried out: the callback (empty when
// unreadable), "type" webRequestRefused and the reason in "error"; no phone is named.
QByteArray webErrorReply(const QString &callback, const QString &why);
