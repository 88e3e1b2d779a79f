#include "ui/zqtips.h"

#include "app/theme.h"
#include "ui/mainwindowhandle.h"

#include <QLabel>
#include <QTimer>

#include <cstring>

ZqTips::ZqTips(const QString &text, QWidget *parent) : QWidget(parent), m_lblText(new QLabel(text, this))
{
    setObjectName(QStringLiteral("ZqTips"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    resize(680, 40);
    m_lblText->setObjectName(QStringLiteral("lblText"));
    m_lblText->setAlignment(Qt::AlignCenter);
    m_lblText->setGeometry(0, 0, 680, 40);
    setStyleSheet(theme::styled(
        QStringLiteral("QWidget { background: transparent; }"
                       "QLabel#lblText { color: white; font-size: 16px; font-family: \"@font\";"
                       " background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #FFFFFF, stop:0.5 @mark,"
                       " stop:1 #FFFFFF); }")));
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &QWidget::close);
    timer->start(lifetimeMs);
}

void ZqTips::mousePressEvent(QMouseEvent *)
{
    close();
}

void ZqTips::keyPressEvent(QKeyEvent *)
{
    close();
}

QByteArray tipBuffer(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    int n = qMin(utf8.size(), tipBufferSize - 1);
    // Never keep the lead bytes of a character whose continuation bytes were cut off.
    if (n < utf8.size()) {
        while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80)
            --n;
    }
    QByteArray buffer(tipBufferSize, '\0');
    std::memcpy(buffer.data(), utf8.constData(), static_cast<size_t>(n));
    return buffer;
}

QString tipText(const QByteArray &buffer)
{
    return QString::fromUtf8(buffer.constData(),
                             static_cast<int>(strnlen(buffer.constData(), buffer.size())));
}

bool tipWindowMessage(const QString &text)
{
    return postToMainWindow(tipMessage, tipBuffer(text));
}
