#include "transfer/uploadwindow.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "transfer/objupload.h"

#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString byteText(qint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

} // namespace

UploadWindow::UploadWindow(QWidget *parent)
    : QWidget(parent), m_list(new QVBoxLayout), m_timer(new QTimer(this))
{
    setObjectName(QStringLiteral("UploadWindow"));
    setWindowTitle(QStringLiteral("文件上传"));
    resize(560, 360);
    setStyleSheet(theme::styled(
        QStringLiteral("QWidget#UploadWindow, QWidget#wRows { background: white; }"
                       "QLabel { font-family: \"@font\"; font-size: 12px; }"
                       "QLabel#lblFile { font-weight: bold; }"
                       "QProgressBar { border: 1px solid @line; border-radius: 3px; height: 14px; "
                       "text-align: center; }"
                       "QProgressBar::chunk { background: @accent; }")));
    auto *rows = new QWidget;
    rows->setObjectName(QStringLiteral("wRows"));
    rows->setLayout(m_list);
    m_list->addStretch();
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(rows);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    for (int type : {Msg::uploadEnded, Msg::uploadHandedOver, Msg::transferResult})
        g_eventManager.subscribe(type, this);
    connect(m_timer, &QTimer::timeout, this, &UploadWindow::refresh);
}

UploadWindow::~UploadWindow()
{
    g_eventManager.unsubscribe(this);
}

void UploadWindow::addUpload(std::shared_ptr<ObjUpload> upload, const QString &fileName,
                             const QStringList &phoneNames, const QStringList &deviceIds)
{
    Row row;
    row.id = upload->id();
    row.upload = std::move(upload);
    row.names = phoneNames;
    row.deviceIds = deviceIds;
    row.clock.start();

    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(12, 8, 12, 8);
    auto *file = new QLabel(fileName);
    file->setObjectName(QStringLiteral("lblFile"));
    row.bar = new QProgressBar;
    row.bar->setRange(0, 100);
    row.bar->setValue(0);
    row.status = new QLabel(QStringLiteral("等待上传"));
    row.status->setObjectName(QStringLiteral("lblStatus"));
    row.phones = new QLabel;
    row.phones->setObjectName(QStringLiteral("lblPhones"));
    row.phones->setWordWrap(true);
    for (QWidget *w : {static_cast<QWidget *>(file), static_cast<QWidget *>(row.bar),
                       static_cast<QWidget *>(row.status), static_cast<QWidget *>(row.phones)})
        layout->addWidget(w);
    m_list->insertWidget(m_list->count() - 1, box);
    m_rows.append(row);
    updateResults(m_rows.last());
    if (!m_timer->isActive())
        m_timer->start(refreshMs);
}

UploadWindow::Row *UploadWindow::row(int id)
{
    for (Row &row : m_rows)
        if (row.id == id)
            return &row;
    return nullptr;
}

QString UploadWindow::statusText(int row) const
{
    return m_rows.value(row).status ? m_rows[row].status->text() : QString();
}

QString UploadWindow::resultText(int row) const
{
    return m_rows.value(row).phones ? m_rows[row].phones->text() : QString();
}

int UploadWindow::progressPercent(int row) const
{
    return m_rows.value(row).bar ? m_rows[row].bar->value() : -1;
}

QString UploadWindow::describeProgress(qint64 done, qint64 total, double bytesPerSecond)
{
    QString text = byteText(done) + QStringLiteral(" / ") + byteText(total);
    if (bytesPerSecond > 0 && done < total) {
        const qint64 left = qint64((total - done) / bytesPerSecond + 0.5);
        text += QStringLiteral("  %1/s  剩余 %2:%3")
                    .arg(byteText(qint64(bytesPerSecond)))
                    .arg(left / 60, 2, 10, QLatin1Char('0'))
                    .arg(left % 60, 2, 10, QLatin1Char('0'));
    }
    return text;
}

void UploadWindow::refresh()
{
    bool busy = false;
    for (Row &row : m_rows) {
        if (row.stage != Uploading || !row.upload)
            continue;
        busy = true;
        const qint64 done = row.upload->transferred();
        const qint64 total = row.upload->total();
        const qint64 ms = row.clock.elapsed();
        if (ms > row.lastMs && done > row.lastBytes) {
            const double sample = (done - row.lastBytes) * 1000.0 / double(ms - row.lastMs);
            // Smoothed, so time left does not jump with every refresh.
            row.speed = row.speed > 0 ? 0.7 * row.speed + 0.3 * sample : sample;
            row.lastBytes = done;
            row.lastMs = ms;
        }
        if (total > 0) {
            row.bar->setValue(int(done * 100 / total));
            row.status->setText(QStringLiteral("上传中  ") + describeProgress(done, total, row.speed));
        }
    }
    if (!busy)
        m_timer->stop();
}

void UploadWindow::updateResults(Row &row)
{
    QStringList lines;
    for (int i = 0; i < row.deviceIds.size(); ++i)
        lines.append(row.names.value(i) + QStringLiteral(": ") +
                     row.results.value(row.deviceIds[i], row.stage == HandedOver
                                                             ? QStringLiteral("等待设备回复")
                                                             : QStringLiteral("等待")));
    row.phones->setText(lines.join(QLatin1Char('\n')));
}

bool UploadWindow::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    const ZQSlotMsg &msg = static_cast<PhoneEvent *>(event)->message();
    const payload::UploadProgress progress = payload::UploadProgress::read(msg.text);
    Row *target = row(progress.uploadId);
    if (!target)
        return true;
    switch (msg.type) {
    case Msg::uploadEnded:
        refresh();
        if (progress.stored) {
            target->stage = Stored;
            target->bar->setValue(100);
            target->status->setText(
                QStringLiteral("已上传 %1，等待通知设备").arg(byteText(target->upload->total())));
        } else {
            target->stage = Failed;
            target->status->setText(QStringLiteral("上传失败"));
            target->upload.reset();
        }
        break;
    case Msg::uploadHandedOver: {
        target->stage = HandedOver;
        const QString size = byteText(target->upload ? target->upload->total() : 0);
        const int failed = progress.failed;
        const int told = target->deviceIds.size() - failed;
        target->status->setText(failed <= 0 ? QStringLiteral("已上传 %1，已通知设备").arg(size)
                                : told <= 0 ? QStringLiteral("已上传 %1，未能通知设备").arg(size)
                                            : QStringLiteral("已上传 %1，已通知 %2 台设备，%3 台未能通知")
                                                  .arg(size)
                                                  .arg(told)
                                                  .arg(failed));
        target->upload.reset();
        break;
    }
    case Msg::transferResult: {
        const int code = progress.code;
        const QString &detail = progress.detail;
        target->results.insert(progress.deviceId,
                               code < 0
                                   ? QStringLiteral("失败 (%1%2)")
                                         .arg(code)
                                         .arg(detail.isEmpty() ? QString() : QStringLiteral(", ") + detail)
                                   : QStringLiteral("成功"));
        break;
    }
    default:
        break;
    }
    updateResults(*target);
    return true;
}
