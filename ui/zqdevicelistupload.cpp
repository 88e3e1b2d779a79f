// The preview grid's part of file uploads: choosing files, the upload jobs on the pool, the list of
// uploads waiting to be handed to their phones, and the phones' transfers with one tip each.
#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/pooltask.h"
#include "transfer/objupload.h"
#include "transfer/transfertask.h"
#include "transfer/uploadwindow.h"
#include "ui/zqdevicelist.h"
#include "ui/zqdevicelistitem.h"
#include "ui/zqtips.h"

#include <QDateTime>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QSet>

struct ZqDeviceList::UploadTarget
{
    QString deviceId;
    QString deviceUcId;
    QString name;
};

struct ZqDeviceList::UploadJob
{
    std::shared_ptr<ObjUpload> upload;
    QString localPath;
    QString fileName;
    QVector<UploadTarget> targets;
};

// Shared by the grid and its upload jobs, so a job that ends after the grid has gone touches
// nothing freed.
struct ZqDeviceList::PendingUploads
{
    std::mutex lock; // the grid's upload lock
    QList<std::shared_ptr<UploadJob>> jobs;
    QSet<const ObjUpload *> index;
    // Uploads still running, so that closing the grid can stop them.
    QList<std::weak_ptr<ObjUpload>> running;
};

namespace {

const char *const fileFilter =
    "所有文件(*.*);;图片文件(*.png *.jpg);;视频文件(*.mp4 *.avi *.ps *.ts *.asf *.flv "
    "*.dahv *.mov)";

QString now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString milliseconds()
{
    return QString::number(QDateTime::currentMSecsSinceEpoch());
}

// Pool thread: tells one phone to fetch the file. Its answer, on a library thread, is logged, shown as
// the phone's tip and reported to the upload window.
void checkUpload(const TransferTask &task, int uploadId)
{
    qDebug().noquote() << QStringLiteral("               thread_pool ZqDeviceList::checkUpload in")
                       << milliseconds();
    const QString deviceId = QString::fromLatin1(task.deviceId);
    sendTransfer(task, [uploadId, deviceId](int code, const QByteArray &detail) {
        qDebug().noquote() << QStringLiteral(" +++++++++++++++ 收到回复,time:") + now();
        tipWindowMessage(code < 0 ? QStringLiteral("文件上传失败") : QStringLiteral("文件上传成功"));
        post(Msg::transferResult,
             payload::UploadProgress::result(uploadId, deviceId, code, QString::fromUtf8(detail)));
    });
    qDebug().noquote() << QStringLiteral("               thread_pool ZqDeviceList::checkUpload out")
                       << milliseconds();
}

// GUI thread: a phone that could not be told about the file shows as failed, with its tip.
void handOverFailed(int uploadId, const QString &deviceId, const QString &why)
{
    qDebug().noquote() << "transfer not sent:" << deviceId << why;
    tipWindowMessage(QStringLiteral("文件上传失败"));
    post(Msg::transferResult, payload::UploadProgress::result(uploadId, deviceId, transferNotSent, why));
}

void postUploadEnded(int uploadId, bool stored)
{
    post(Msg::uploadEnded, payload::UploadProgress::ended(uploadId, stored));
}

} // namespace

std::shared_ptr<ZqDeviceList::PendingUploads> ZqDeviceList::newPendingUploads()
{
    return std::make_shared<PendingUploads>();
}

void ZqDeviceList::startFileUpload(const QString &deviceId, const QStringList &dropped)
{
    QVector<UploadTarget> targets;
    for (const ZqDeviceListItem *tile : batchTargets(deviceId)) {
        TransferTask probe;
        QString why;
        // A phone the library could not be told about is left out before anything is uploaded.
        if (!probe.fill(tile->deviceId(), tile->phone().deviceUcId, QString(), &why)) {
            postNotice(QStringLiteral("设备%1的编号或凭证过长，无法向它上传文件").arg(tile->phone().name));
            continue;
        }
        targets.append({tile->deviceId(), tile->phone().deviceUcId, tile->phone().name});
    }
    if (targets.isEmpty())
        return;
    if (!dropped.isEmpty()) {
        uploadFiles(targets, dropped);
        return;
    }
    auto *dialog = new QFileDialog(window(), QStringLiteral("文件上传"), QStringLiteral("/"),
                                   QString::fromUtf8(fileFilter));
    dialog->setObjectName(QStringLiteral("fileDialog"));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::finished, this, [this, dialog, targets](int result) {
        const QStringList files = result == QDialog::Accepted ? dialog->selectedFiles() : QStringList();
        if (files.isEmpty()) {
            postNotice(QStringLiteral("请先选择要上传的文件"));
            return;
        }
        uploadFiles(targets, files);
    });
    dialog->open();
}

void ZqDeviceList::uploadFiles(const QVector<UploadTarget> &targets, const QStringList &files)
{
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    for (const QString &file : files) {
        if (!QFileInfo(file).isFile()) {
            postNotice(QStringLiteral("你选择的文件不存在"));
            return;
        }
        auto job = std::make_shared<UploadJob>();
        job->upload = std::make_shared<ObjUpload>();
        job->localPath = QDir::toNativeSeparators(file);
        job->fileName = QFileInfo(file).fileName();
        job->targets = targets;
        QStringList names;
        for (const UploadTarget &target : targets)
            names.append(target.name.isEmpty() ? target.deviceId : target.name);
        showUploadWindow()->addUpload(job->upload, job->fileName, names, [&targets] {
            QStringList ids;
            for (const UploadTarget &target : targets)
                ids.append(target.deviceId);
            return ids;
        }());
        {
            std::lock_guard<std::mutex> guard(m_uploads->lock);
            m_uploads->running.append(job->upload);
        }
        const std::shared_ptr<PendingUploads> pending = m_uploads;
        // Pool worker, blocking for the whole upload.
        const bool queued = onPool("upload task", [job, pending, info] {
            const int id = job->upload->id();
            if (!info || !job->upload->loadUploadInfo(info->uploadInfo())) {
                postNotice(QStringLiteral("初始化对象存储失败"));
                postUploadEnded(id, false);
                return;
            }
            if (!job->upload->uploadFile(job->localPath, job->fileName)) {
                postUploadEnded(id, false);
                return;
            }
            {
                std::lock_guard<std::mutex> guard(pending->lock);
                pending->jobs.append(job);
                pending->index.insert(job->upload.get());
            }
            postUploadEnded(id, true);
        });
        if (!queued)
            postUploadEnded(job->upload->id(), false);
    }
}

void ZqDeviceList::checkPendingUploads()
{
    QList<std::shared_ptr<UploadJob>> ready;
    {
        std::lock_guard<std::mutex> guard(m_uploads->lock);
        for (auto it = m_uploads->jobs.begin(); it != m_uploads->jobs.end();) {
            if (!(*it)->upload->isUploadComplete()) {
                ++it;
                continue;
            }
            ready.append(*it);
            m_uploads->index.remove((*it)->upload.get());
            it = m_uploads->jobs.erase(it);
        }
        m_uploads->running.erase(
            std::remove_if(m_uploads->running.begin(), m_uploads->running.end(),
                           [](const std::weak_ptr<ObjUpload> &u) { return u.expired(); }),
            m_uploads->running.end());
    }
    // Queued outside the lock, in the order the uploads finished.
    for (const std::shared_ptr<UploadJob> &job : qAsConst(ready)) {
        const QString url = job->upload->fileUrl();
        // The key, not the address: a signed address ends in its signature and the file's digest.
        const bool install = job->upload->storedKey().right(3).toLower() == QLatin1String("apk");
        qDebug().noquote() << QStringLiteral(" +++++++++++++++ 通知上传完成,time:") + now();
        int failed = 0;
        for (const UploadTarget &target : qAsConst(job->targets)) {
            qDebug().noquote() << QStringLiteral("                       参数,deviceId:") + target.deviceId +
                                      QStringLiteral(", ucId:") + target.deviceUcId +
                                      QStringLiteral(",fileUrl:") + url + QStringLiteral(",APK:") +
                                      (install ? QStringLiteral("TFT_INSTALL") : QStringLiteral("TFT_NONE"));
            TransferTask task;
            QString why;
            const int id = job->upload->id();
            if (!task.fill(target.deviceId, target.deviceUcId, url, &why)) {
                handOverFailed(id, target.deviceId, why);
                ++failed;
                continue;
            }
            task.install = install;
            if (!onPool("upload task", [task, id] { checkUpload(task, id); })) {
                handOverFailed(id, target.deviceId, QStringLiteral("the client is shutting down"));
                ++failed;
            }
        }
        post(Msg::uploadHandedOver, payload::UploadProgress::handedOver(job->upload->id(), failed));
    }
}

int ZqDeviceList::pendingUploadCount() const
{
    std::lock_guard<std::mutex> guard(m_uploads->lock);
    return m_uploads->jobs.size();
}

UploadWindow *ZqDeviceList::showUploadWindow()
{
    if (!m_uploadWindow)
        m_uploadWindow = std::make_unique<UploadWindow>();
    m_uploadWindow->show();
    m_uploadWindow->raise();
    return m_uploadWindow.get();
}

void ZqDeviceList::stopUploads()
{
    std::lock_guard<std::mutex> guard(m_uploads->lock);
    for (const std::weak_ptr<ObjUpload> &running : qAsConst(m_uploads->running))
        if (const std::shared_ptr<ObjUpload> upload = running.lock())
            upload->cancel();
}
