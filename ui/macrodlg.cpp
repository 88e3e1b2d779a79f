#include "ui/macrodlg.h"

#include "app/datadir.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "phone/macrofile.h"
#include "phone/sdkmanager.h"
#include "ui/dialogframe.h"

#include <QDateTime>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

namespace {

const char *const dialogRules = R"(
QLabel#lblStatus { color: @warning; font-size: 12px; }
QPushButton#btnStart:disabled, QPushButton#btnStop:disabled { background: #B0B0B0; }
QTableWidget { font-family: "@font"; font-size: 12px; border: 1px solid @faintLine; }
QTableWidget::item:selected { background: @accent; color: white; }
QHeaderView::section { background: #F5F5F5; border: none; font-family: "@font"; font-size: 12px; }
QProgressBar { border: 1px solid @faintLine; text-align: center; font-size: 11px; }
QProgressBar::chunk { background: @accent; }
QSpinBox, QDoubleSpinBox { font-family: "@font"; font-size: 12px; }
)";

using dialogframe::button;

QLabel *label(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

QTableWidget *table(QWidget *parent, const char *name, const QStringList &headers, const QRect &geometry)
{
    auto *t = new QTableWidget(0, headers.size(), parent);
    t->setObjectName(QLatin1String(name));
    t->setGeometry(geometry);
    t->setHorizontalHeaderLabels(headers);
    t->verticalHeader()->hide();
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

QString duration(qint64 ms)
{
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000)
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 100 % 10);
}

QString stateText(const QString &state)
{
    static const QHash<QString, QString> texts{
        {QStringLiteral("waiting"), QStringLiteral("等待开始")},
        {QStringLiteral("running"), QStringLiteral("回放中")},
        {QStringLiteral("done"), QStringLiteral("完成")},
        {QStringLiteral("stopped"), QStringLiteral("已停止")},
        {QStringLiteral("unticked"), QStringLiteral("已取消勾选")},
        {QStringLiteral("restarted"), QStringLiteral("手机重启，已结束")},
        {QStringLiteral("failed"), QStringLiteral("未能开始")}};
    return texts.value(state, state);
}

} // namespace

MacroDlg::MacroDlg(QWidget *parent)
    : QDialog(parent), m_title(dialogframe::addTitleBar(this, QStringLiteral("脚本回放"), 640)),
      m_twMacro(table(this, "twMacro",
                      {QStringLiteral("名称"), QStringLiteral("时长"), QStringLiteral("操作数"),
                       QStringLiteral("录制时间"), QStringLiteral("方向")},
                      QRect(12, 48, 616, 170))),
      m_spbSpeed(new QDoubleSpinBox(this)), m_spbRepeat(new QSpinBox(this)), m_spbStagger(new QSpinBox(this)),
      m_twProgress(table(this, "twProgress",
                         {QStringLiteral("云手机"), QStringLiteral("进度"), QStringLiteral("状态")},
                         QRect(12, 266, 616, 196))),
      m_lblStatus(label(this, QString(), QRect(12, 470, 300, 36))),
      m_btnStart(button(this, "btnStart", QStringLiteral("开始回放"), QRect(362, 470, 118, 36))),
      m_btnStop(button(this, "btnStop", QStringLiteral("停止"), QRect(496, 470, 118, 36)))
{
    g_eventManager.subscribe(Msg::macroProgress, this);
    g_eventManager.subscribe(Msg::macroFinished, this);

    setObjectName(QStringLiteral("MacroDlg"));
    setWindowTitle(QStringLiteral("脚本回放"));
    resize(640, 516);
    m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
    m_lblStatus->setWordWrap(true);

    m_twMacro->setColumnWidth(0, 200);
    m_twMacro->setColumnWidth(1, 70);
    m_twMacro->setColumnWidth(2, 70);
    m_twMacro->setColumnWidth(3, 150);
    m_twProgress->setColumnWidth(0, 200);
    m_twProgress->setColumnWidth(1, 250);
    m_twProgress->setSelectionMode(QAbstractItemView::NoSelection);

    label(this, QStringLiteral("速度"), QRect(16, 226, 40, 30));
    m_spbSpeed->setObjectName(QStringLiteral("spbSpeed"));
    m_spbSpeed->setGeometry(56, 228, 90, 28);
    m_spbSpeed->setRange(macroreplay::Options::minSpeed, macroreplay::Options::maxSpeed);
    m_spbSpeed->setDecimals(1);
    m_spbSpeed->setSingleStep(0.5);
    m_spbSpeed->setValue(1.0);
    m_spbSpeed->setPrefix(QStringLiteral("×"));
    label(this, QStringLiteral("重复次数"), QRect(166, 226, 70, 30));
    m_spbRepeat->setObjectName(QStringLiteral("spbRepeat"));
    m_spbRepeat->setGeometry(236, 228, 80, 28);
    m_spbRepeat->setRange(1, macroreplay::Options::maxRepeat);
    label(this, QStringLiteral("手机间隔"), QRect(336, 226, 70, 30));
    m_spbStagger->setObjectName(QStringLiteral("spbStagger"));
    m_spbStagger->setGeometry(406, 228, 120, 28);
    m_spbStagger->setRange(0, macroreplay::Options::maxStaggerMs);
    m_spbStagger->setSingleStep(100);
    m_spbStagger->setSuffix(QStringLiteral(" 毫秒"));

    dialogframe::makeFrameless(this, "MacroDlg", {QStringLiteral("btnStart"), QStringLiteral("btnStop")},
                               dialogRules);
    QMetaObject::connectSlotsByName(this);
    setRunning(sdkManager.macroRunning());
    reload();
}

MacroDlg::~MacroDlg()
{
    g_eventManager.unsubscribe(this);
}

void MacroDlg::reload()
{
    m_paths.clear();
    m_errors.clear();
    m_twMacro->setRowCount(0);
    for (const macro::Entry &entry : macro::list(dataDirectory())) {
        const int row = m_twMacro->rowCount();
        m_twMacro->insertRow(row);
        const bool usable = entry.error.isEmpty();
        const QStringList cells{
            usable ? entry.name : entry.name + QStringLiteral("（无法回放）"),
            usable ? duration(entry.lengthMs) : QString(), usable ? QString::number(entry.events) : QString(),
            QDateTime::fromMSecsSinceEpoch(entry.createdMs).toString(QStringLiteral("yyyy-MM-dd hh:mm")),
            usable ? (entry.rotation % 2 ? QStringLiteral("横屏") : QStringLiteral("竖屏")) : QString()};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells.at(column));
            item->setToolTip(usable ? entry.path : entry.error);
            if (!usable)
                item->setForeground(Qt::gray);
            m_twMacro->setItem(row, column, item);
        }
        m_paths << entry.path;
        m_errors << entry.error;
    }
    if (m_twMacro->rowCount() > 0)
        m_twMacro->selectRow(0);
    else
        m_lblStatus->setText(QStringLiteral("还没有录制的脚本：在云手机窗口右侧点“录制”"));
}

void MacroDlg::setRunning(bool running)
{
    m_running = running;
    m_btnStart->setEnabled(!running);
    m_btnStop->setEnabled(running);
}

void MacroDlg::on_btnStart_clicked()
{
    const int row = m_twMacro->currentRow();
    if (row < 0 || row >= m_paths.size()) {
        postNotice(QStringLiteral("请先选择一个脚本"));
        return;
    }
    if (!m_errors.at(row).isEmpty()) {
        postNotice(m_errors.at(row));
        return;
    }
    macroreplay::Options options;
    options.speed = m_spbSpeed->value();
    options.repeat = m_spbRepeat->value();
    options.staggerMs = m_spbStagger->value();
    if (!sdkManager.startMacro(m_paths.at(row), options)) {
        postNotice(QStringLiteral("已有脚本正在回放"));
        return;
    }
    qDebug() << "macro replay started:" << m_paths.at(row) << "speed" << options.speed << "repeat"
             << options.repeat << "stagger" << options.staggerMs;
    m_twProgress->setRowCount(0);
    m_lblStatus->clear();
    setRunning(true);
}

void MacroDlg::on_btnStop_clicked()
{
    sdkManager.stopMacro();
}

void MacroDlg::on_btnClose_clicked()
{
    close();
}

void MacroDlg::closeEvent(QCloseEvent *event)
{
    // Nobody would see the replay's progress any more, nor have a button to stop it.
    if (m_running)
        sdkManager.stopMacro();
    QDialog::closeEvent(event);
}

void MacroDlg::showProgress(const payload::MacroProgress &progress)
{
    // Rows stay in replay order, which is the order the stagger starts the phones in.
    const int index = progress.index;
    int row = 0;
    int end = m_twProgress->rowCount();
    while (row < end) {
        const int middle = (row + end) / 2;
        if (m_twProgress->item(middle, 0)->data(Qt::UserRole).toInt() < index)
            row = middle + 1;
        else
            end = middle;
    }
    if (row == m_twProgress->rowCount() || m_twProgress->item(row, 0)->data(Qt::UserRole).toInt() != index) {
        m_twProgress->insertRow(row);
        auto *phone = new QTableWidgetItem(progress.name.isEmpty() ? progress.deviceId : progress.name);
        phone->setData(Qt::UserRole, index);
        m_twProgress->setItem(row, 0, phone);
        auto *bar = new QProgressBar;
        bar->setFormat(QStringLiteral("%v / %m"));
        m_twProgress->setCellWidget(row, 1, bar);
        m_twProgress->setItem(row, 2, new QTableWidgetItem);
    }
    auto *bar = static_cast<QProgressBar *>(m_twProgress->cellWidget(row, 1));
    bar->setMaximum(qMax(1, progress.total));
    bar->setValue(progress.sent);
    m_twProgress->item(row, 2)->setText(stateText(progress.state));
}

bool MacroDlg::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QDialog::event(event);
    const ZQSlotMsg &msg = static_cast<PhoneEvent *>(event)->message();
    if (msg.type == Msg::macroProgress) {
        showProgress(payload::MacroProgress::read(msg.text));
    } else if (msg.type == Msg::macroFinished) {
        setRunning(false);
        const payload::MacroFinished finished = payload::MacroFinished::read(msg.text);
        m_lblStatus->setText(!finished.error.isEmpty() ? finished.error
                             : finished.stopped        ? QStringLiteral("回放已停止")
                                                       : QStringLiteral("回放完成"));
        qDebug() << "macro replay finished:" << msg.text.simplified();
    }
    return true;
}
