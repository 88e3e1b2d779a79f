#include "transfer/objupload.h"

#include "app/datadir.h"
#include "app/globals.h"
#include "app/messages.h"
#include "objstore/client.h"
#include "objstore/signer.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>

namespace {

QString now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// Start-up empties the files of the scratch directory itself; checkpoints live one level down so
// that an upload cut off by the end of a run resumes in the next.
const char *const resumeFolder = "resume";

int nextId()
{
    static std::atomic<int> last{0};
    return ++last;
}

} // namespace

ObjUpload::ObjUpload()
    : checkpointDir(dataDirectory() + QStringLiteral("/ObjUpload/")),
      endpoint(g_config ? g_config->objstoreEndpoint : QString()),
      signature(g_config ? g_config->objstoreSignature : QString()),
      region(g_config ? g_config->objstoreRegion : QString()), m_id(nextId())
{
    QDir().mkpath(checkpointDir + QLatin1String(resumeFolder));
}

bool ObjUpload::loadUploadInfo(const QJsonObject &info)
{
    for (const char *key : {"accessKeyId", "accessKeySecret", "bucket", "fileUploadPath", "securityToken"})
        if (!info.value(QLatin1String(key)).isString())
            return false;
    // An empty key or bucket could only fail later, at the store, with a less helpful message.
    for (const char *key : {"accessKeyId", "accessKeySecret", "bucket"})
        if (info.value(QLatin1String(key)).toString().isEmpty())
            return false;
    accessKeyId = info.value(QStringLiteral("accessKeyId")).toString();
    accessKeySecret = info.value(QStringLiteral("accessKeySecret")).toString();
    bucket = info.value(QStringLiteral("bucket")).toString();
    fileUploadPath = info.value(QStringLiteral("fileUploadPath")).toString();
    securityToken = info.value(QStringLiteral("securityToken")).toString();
    return true;
}

QString ObjUpload::objectKey(const QString &prefix, const QString &dateText, const QString &md5Hex,
                             const QString &localPath)
{
    // A character outside the basic plane is kept whole rather than cut in half.
    int tail = qMin(4, localPath.size());
    if (tail < localPath.size() && localPath.at(localPath.size() - tail).isLowSurrogate())
        ++tail;
    return prefix + QLatin1Char('/') + dateText + QLatin1Char('/') + md5Hex + localPath.right(tail);
}

bool ObjUpload::uploadFile(const QString &localPath, const QString &fileName)
{
    const QString dateText = QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd"));
    const QByteArray path = QFile::encodeName(localPath);
    std::string md5, sha256;
    if (!objstore::fileDigests(path.toStdString(), &md5, &sha256)) {
        qDebug() << "file open error.";
        return false;
    }
    const QString key = objectKey(fileUploadPath, dateText, QString::fromStdString(md5), localPath);
    objstore::ClientConfiguration configuration;
    if (signature == QLatin1String("v4"))
        configuration.signature = objstore::SignatureVersion::V4;
    if (!region.isEmpty())
        configuration.region = region.toStdString();
    const objstore::Client client(
        endpoint.toStdString(),
        {accessKeyId.toStdString(), accessKeySecret.toStdString(), securityToken.toStdString()},
        configuration);
    const auto addressOf = [&] {
        return QString::fromStdString(
            client.presignedGetUrl(bucket.toStdString(), key.toStdString(), urlTtlSeconds) +
            "#sha256=" + sha256);
    };
    // Checked before sending: a phone could never be told an address that does not fit its buffer.
    if (addressOf().toUtf8().size() > maxUrlBytes) {
        postNotice(QStringLiteral("文件地址超过%1字节，无法发送到设备").arg(maxUrlBytes));
        return false;
    }
    qDebug().noquote() << QStringLiteral(" +++++++++++++++ 对象存储开始上传:") +
                              QString::fromStdString(
                                  client.objectUrl(bucket.toStdString(), key.toStdString())) +
                              QStringLiteral(",time:") + now();

    objstore::UploadRequest request;
    request.bucket = bucket.toStdString();
    request.key = key.toStdString();
    request.filePath = path.toStdString();
    request.checkpointDir = QFile::encodeName(checkpointDir + QLatin1String(resumeFolder)).toStdString();
    request.progress = [this](uint32_t increment, int64_t transferred, int64_t total, void *userData) {
        recordProgress(increment, transferred, total, userData);
    };
    request.cancel = &m_cancel;
    const objstore::Outcome outcome = client.resumableUpload(request);
    if (!outcome.success) {
        qDebug().noquote() << QStringLiteral("resumable upload fail,code:") +
                                  QString::fromStdString(outcome.code) + QStringLiteral(",message:") +
                                  QString::fromStdString(outcome.message) + QStringLiteral(",requestId:") +
                                  QString::fromStdString(outcome.requestId);
        if (outcome.code != "Cancelled")
            postNotice(QString::fromStdString(outcome.message));
        return false;
    }
    // Signed now, so that its time runs from the end of the upload.
    const QString url = addressOf();
    std::lock_guard<std::mutex> guard(m_lock);
    m_fileName = fileName;
    m_fileUrl = url;
    m_key = key;
    return true;
}

void ObjUpload::recordProgress(uint32_t increment, int64_t transferred, int64_t total, void *)
{
    m_lastIncrement = increment;
    m_total = total;
    m_transferred = transferred;
}

bool ObjUpload::isUploadComplete() const
{
    return m_lastIncrement.load() == 0 && m_transferred.load() == m_total.load();
}

QString ObjUpload::fileUrl() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileUrl;
}

QString ObjUpload::storedKey() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_key;
}

QString ObjUpload::fileName() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileName;
}
