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
      fileUrlBase(g_config ? g_config->objstoreFileUrl : QString()), m_id(nextId())
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

QString ObjUpload::objectUrl(const QString &base, const QString &key)
{
    // Percent-encoded, so that any file name makes an ASCII address in which "#", "?" and "%" are
    // part of the name.
    return base + QLatin1Char('/') + QString::fromStdString(objstore::encodeKey(key.toStdString()));
}

bool ObjUpload::uploadFile(const QString &localPath, const QString &fileName)
{
    const QString dateText = QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd"));
    const QByteArray path = QFile::encodeName(localPath);
    const std::string digest = objstore::fileMd5Hex(path.toStdString());
    if (digest.empty()) {
        qDebug() << "file open error.";
        return false;
    }
    const QString key = objectKey(fileUploadPath, dateText, QString::fromStdString(digest), localPath);
    const QString url = objectUrl(fileUrlBase, key);
    // Checked before sending: a phone could never be told an address that does not fit its buffer.
    if (url.toUtf8().size() > maxUrlBytes) {
        postNotice(QStringLiteral("文件地址超过%1字节，无法发送到设备").arg(maxUrlBytes));
        return false;
    }
    qDebug().noquote() << QStringLiteral(" +++++++++++++++ 对象存储开始上传:") + url +
                              QStringLiteral(",time:") + now();

    const objstore::Client client(
        endpoint.toStdString(),
        {accessKeyId.toStdString(), accessKeySecret.toStdString(), securityToken.toStdString()});
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
    std::lock_guard<std::mutex> guard(m_lock);
    m_fileName = fileName;
    m_fileUrl = url;
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

QString ObjUpload::fileName() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileName;
}
