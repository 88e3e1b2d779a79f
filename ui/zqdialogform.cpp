#include "ui/zqdialogform.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"

#include <QDebug>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegExpValidator>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

const QString ZqDialogForm::countPattern =
    QStringLiteral(R"((^?9999$)|(^?1[0-7]\d$)|(^?[1-9]\d$)|(^?[1-9]$)|^0$)");

namespace {

constexpr int windowWidth = 350;
constexpr int titleHeight = 32;
constexpr int fullWidth = 296;
constexpr int halfWidth = 134;
constexpr int rowHeight = 38;
constexpr int leftX = 28;
constexpr int rightHalf = 190;

const char *const dialogStyle = R"(
QWidget { font-family: "@font"; font-size: 14px; }
QLabel { color: black; }
QLabel#lblTitle { color: white; }
QLineEdit, QTextEdit { border: 1px solid @line; border-radius: 4px; padding: 8px; }
QPushButton#btnConfirm, QPushButton#btnCancel {
  background: @accent; border: none; border-radius: 4px; color: white; }
QPushButton#btnConfirm:hover, QPushButton#btnCancel:hover { background: rgb(112,227,223); color: white; }
QPushButton#btnClose {
  border: none; background: @accent url(:/image/image/close_min.png) no-repeat center; }
QPushButton#btnClose:hover { background-color: @accentHover; }
)";

const QString namePlaceholder = QStringLiteral("名称不能超过10个字");

} // namespace

ZqDialogForm::ZqDialogForm(QWidget *parent)
    : QWidget(parent), m_wTitle(new QWidget(this)), m_lblTitle(new QLabel(m_wTitle)),
      m_btnClose(new QPushButton(m_wTitle)), m_wContent(new QWidget(this)), m_lbl1(new QLabel(m_wContent)),
      m_lbl2(new QLabel(m_wContent)), m_edtLine(new QLineEdit(m_wContent)),
      m_edtText(new QTextEdit(m_wContent)), m_btnCancel(new QPushButton(QStringLiteral("取消"), m_wContent)),
      m_btnConfirm(new QPushButton(QStringLiteral("确定"), m_wContent)),
      m_countValidator(new QRegExpValidator(QRegExp(countPattern, Qt::CaseSensitive), this))
{
    setStyleSheet(theme::styled(QString::fromUtf8(dialogStyle)));
    setObjectName(QStringLiteral("ZqDialogForm"));
    setWindowTitle(QStringLiteral("Form"));
    m_wTitle->setObjectName(QStringLiteral("wTitle"));
    m_lblTitle->setObjectName(QStringLiteral("lblTitle"));
    m_btnClose->setObjectName(QStringLiteral("btnClose"));
    m_wContent->setObjectName(QStringLiteral("wContent"));
    m_lbl1->setObjectName(QStringLiteral("lbl_1"));
    m_lbl2->setObjectName(QStringLiteral("lbl_2"));
    m_edtLine->setObjectName(QStringLiteral("edtLine"));
    m_edtText->setObjectName(QStringLiteral("edtText"));
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnConfirm->setObjectName(QStringLiteral("btnConfirm"));

    m_lbl1->setWordWrap(true);
    m_lbl1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_lbl2->hide();
    m_btnClose->setFixedSize(24, 24);
    m_btnClose->setCursor(Qt::PointingHandCursor);
    m_edtText->setAcceptRichText(true);

    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    resize(windowWidth, 185);
    QMetaObject::connectSlotsByName(this);
}

void ZqDialogForm::setDialogData(const QString &json)
{
    const payload::DialogRequest request = payload::DialogRequest::read(json);
    m_dialogData = request.fields;
    detachCountValidator();
    for (QWidget *w : {static_cast<QWidget *>(m_lbl1), static_cast<QWidget *>(m_lbl2),
                       static_cast<QWidget *>(m_edtLine), static_cast<QWidget *>(m_edtText),
                       static_cast<QWidget *>(m_btnCancel), static_cast<QWidget *>(m_btnConfirm)})
        w->hide();

    m_dialogType = request.kind;
    m_dialogMsgId = request.answerType;
    const QString &text = request.label;

    // The label runs from its fixed top to just above the next widget.
    auto showLabel = [this](const QString &labelText, int nextTop) {
        m_lbl1->setText(labelText);
        m_lbl1->setGeometry(leftX, 28, fullWidth, nextTop - 28 - 4);
        m_lbl1->show();
    };
    auto place = [](QWidget *w, int x, int y, int width) {
        w->setGeometry(x, y, width, rowHeight);
        w->show();
    };

    bool links = false;
    int height = 185;
    QString title = QStringLiteral("提示");
    switch (m_dialogType) {
    case Dialog::clipboardInput:
        height = 280;
        title = QStringLiteral("同步剪贴板");
        m_edtText->setGeometry(leftX, 28, fullWidth, 120);
        m_edtText->show();
        place(m_btnConfirm, leftX, 176, fullWidth);
        break;
    case Dialog::renameGroup:
    case Dialog::renamePhone:
        height = 232;
        showLabel(QStringLiteral("修改名称"), 63);
        m_edtLine->setText(text);
        m_edtLine->setPlaceholderText(namePlaceholder);
        place(m_edtLine, leftX, 63, fullWidth);
        place(m_btnConfirm, leftX, 132, fullWidth);
        break;
    case Dialog::nameInput:
    case Dialog::prefixInput:
        height = 232;
        if (m_dialogType == Dialog::prefixInput)
            title = QStringLiteral("批量命名");
        showLabel(text, 70);
        m_edtLine->setPlaceholderText(namePlaceholder);
        place(m_edtLine, leftX, 70, fullWidth);
        place(m_btnConfirm, leftX, 132, fullWidth);
        break;
    case Dialog::confirmRemove:
    case Dialog::confirm:
        links = text.contains(QLatin1String("a href"));
        showLabel(text, 84);
        place(m_btnCancel, leftX, 84, halfWidth);
        place(m_btnConfirm, rightHalf, 84, halfWidth);
        break;
    case Dialog::countInput:
        height = 160;
        title = QStringLiteral("多选");
        m_edtLine->clear();
        m_edtLine->setPlaceholderText(QStringLiteral("请输入要选择的数量"));
        m_edtLine->setValidator(m_countValidator);
        place(m_edtLine, leftX, 16, fullWidth);
        place(m_btnCancel, leftX, 70, halfWidth);
        place(m_btnConfirm, rightHalf, 70, halfWidth);
        break;
    case Dialog::updateNotice:
    case Dialog::forcedUpdate:
    case Dialog::initFailed:
    case Dialog::notice:
        if (m_dialogType == Dialog::initFailed)
            title = QStringLiteral("初始化失败");
        if (m_dialogType == Dialog::updateNotice || m_dialogType == Dialog::forcedUpdate)
            links = !request.download.isEmpty();
        // A forced update can only be confirmed, which ends the program; the close button never returns.
        if (m_dialogType == Dialog::forcedUpdate)
            m_btnClose->hide();
        showLabel(text, 84);
        place(m_btnConfirm, leftX, 84, fullWidth);
        break;
    default:
        title = QStringLiteral("错误");
        showLabel(QStringLiteral("错误，请关闭"), 84);
        break;
    }
    m_lbl1->setOpenExternalLinks(links);
    m_lbl1->setTextInteractionFlags(links ? Qt::TextBrowserInteraction : Qt::NoTextInteraction);
    m_lblTitle->setText(title);
    resize(windowWidth, height);
}

void ZqDialogForm::on_btnConfirm_clicked()
{
    close();
    qDebug().noquote()
        << QStringLiteral("dialogMsgId: %1 dialogType: %2").arg(m_dialogMsgId).arg(m_dialogType);
    if (m_dialogType == Dialog::countInput)
        detachCountValidator();
    if (m_dialogMsgId == 0)
        return;

    QJsonObject result = m_dialogData;
    switch (m_dialogType) {
    case Dialog::clipboardInput:
        result.insert(QStringLiteral("txtClip"), clipboardText());
        break;
    case Dialog::renameGroup:
    case Dialog::nameInput:
    case Dialog::renamePhone:
        result.insert(QStringLiteral("name"), m_edtLine->text());
        break;
    case Dialog::prefixInput:
        result.insert(QStringLiteral("prefix"), m_edtLine->text());
        break;
    case Dialog::countInput:
        result.insert(QStringLiteral("count"), m_edtLine->text().toInt());
        break;
    case Dialog::forcedUpdate:
        post(Msg::exitProgram);
        return;
    default:
        break;
    }

    post(m_dialogMsgId, result);
}

void ZqDialogForm::on_btnCancel_clicked()
{
    if (m_dialogType == Dialog::countInput)
        detachCountValidator();
    close();
}

void ZqDialogForm::on_btnClose_clicked()
{
    if (m_dialogType == Dialog::countInput)
        detachCountValidator();
    if (m_dialogType == Dialog::initFailed) {
        post(Msg::exitProgram);
    }
    close();
}

void ZqDialogForm::detachCountValidator()
{
    if (m_edtLine->validator())
        m_edtLine->setValidator(nullptr);
}

QString ZqDialogForm::clipboardText() const
{
    QString text;
    for (QTextBlock block = m_edtText->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid())
                text += fragment.text();
        }
    }
    return text;
}

void ZqDialogForm::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QPainterPath top;
    top.addRoundedRect(QRectF(0, 0, width(), 42), 6, 6);
    painter.fillPath(top, QColor(theme::accent));
    QPainterPath bottom;
    bottom.addRoundedRect(QRectF(0, height() - 42, width(), 42), 6, 6);
    painter.fillPath(bottom, Qt::white);
    painter.fillRect(QRect(0, 34, width(), height() - 34 - 6), Qt::white);
}

void ZqDialogForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_wTitle->setGeometry(0, 0, width(), titleHeight);
    m_lblTitle->setGeometry(12, 4, width() - 12 - 40, 24);
    m_btnClose->move(width() - 32, 4);
    m_wContent->setGeometry(0, titleHeight + 1, width(), height() - titleHeight);
}

void ZqDialogForm::mousePressEvent(QMouseEvent *event)
{
    m_dragAnchor = event->globalPos();
    QWidget::mousePressEvent(event);
}

void ZqDialogForm::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() & Qt::LeftButton) {
        move(pos() + event->globalPos() - m_dragAnchor);
        m_dragAnchor = event->globalPos();
    }
    QWidget::mouseMoveEvent(event);
}
