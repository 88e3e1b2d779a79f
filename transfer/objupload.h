#pragma once

#include "transfer/transfertask.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

// One file's trip to the object store: the temporary credentials of the upload info, the resumable
// upload with its checkpoint, and the file's address once it is stored. Shared by the upload job
// that runs it and the grid's list of uploads waiting to be handed to phones.
//
// Threads: built on the GUI thread; loadUploadInfo and uploadFile run on the upload job's pool
// thread. The progress fields are atomics, so the GUI may read them at any time for display.
class ObjUpload : public QObject
{
    Q_OBJECT

public:
    // The longest file address a phone transfer carries.
    static constexpr int maxUrlBytes = int(sizeof(TransferTask::url)) - 1;

    // GUI thread. Takes the store's endpoint and signature kind from the configuration and creates
    // `checkpointDir` when missing.
    ObjUpload();

    // Pool thread. Copies the credentials, bucket and key prefix of the provider's upload info;
    // false when any of them is missing, or the key pair or bucket is empty.
    bool loadUploadInfo(const QJsonObject &info);
    // Pool thread, blocking until the upload ends. Hashes the file, names the object after the day and
    // the digest and uploads it. A failure of the store posts a notice with its message; a file that
    // cannot be read only logs. True when the object is stored. The file's address is then a GET
    // signed with the upload's own grant for this one object, with the file's SHA-256 after it
    // ("#sha256=<hex>"), which the phone checks against what it fetched.
    bool uploadFile(const QString &localPath, const QString &fileName);
    // The object store's progress handler (uploading thread).
    void recordProgress(uint32_t increment, int64_t transferred, int64_t total, void *userData);
    // True once the final report (increment 0, all bytes) has come.
    bool isUploadComplete() const;
    // Any thread. Names this upload in the bus messages about it; unique in the process.
    int id() const { return m_id; }
    // Any thread: stops a running upload at its next chance; the checkpoint stays for a later run.
    void cancel() { m_cancel = true; }

    // Set when the upload succeeded (read after uploadFile returned, or under the lock that publishes
    // the job).
    QString fileUrl() const;
    QString fileName() const;
    // The stored object's key, whose end tells whether the file installs.
    QString storedKey() const;
    // Any thread.
    int64_t transferred() const { return m_transferred.load(); }
    int64_t total() const { return m_total.load(); }

    // How long the address handed to phones stays valid.
    static constexpr int64_t urlTtlSeconds = 3600;

    // The object key for a file: prefix/yyyy/MM/dd/<md5> and the path's last four characters (five
    // when the fourth from the end is the second half of a surrogate pair).
    static QString objectKey(const QString &prefix, const QString &dateText, const QString &md5Hex,
                             const QString &localPath);

    QString checkpointDir;
    QString accessKeyId;
    QString accessKeySecret;
    QString securityToken;
    QString bucket;
    QString fileUploadPath;
    QString endpoint;
    // "v4" signs with HMAC-SHA256 and a credential scope in `region`; anything else with HMAC-SHA1.
    QString signature;
    QString region;

private:
    const int m_id;
    mutable std::mutex m_lock; // guards the file name, address and key
    QString m_fileName;
    QString m_fileUrl;
    QString m_key;
    std::atomic<uint32_t> m_lastIncrement{0};
    std::atomic<int64_t> m_transferred{0};
    std::atomic<int64_t> m_total{0};
    std::atomic<bool> m_cancel{false};
};
