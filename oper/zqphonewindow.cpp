#include "oper/zqphonewindow.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/zqslotmsg.h"
#include "coreclient/cc_copydata_event.h"
#include "oper/phoneinput.h"
#include "phone/macrofile.h"
#include "phone/phonetext.h"
#include "phone/sdkmanager.h"

#include <QApplication>
#include <QClipboard>
#include <QDebug>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QtEndian>

#include <cstring>

namespace {

enum Notice
{
    NoticeRotation = 3,
    NoticeStreamStarted = 103,
    NoticeTouchUpDown = 104,
    NoticeTouchMove = 105
};

bool isPhoneKey(int qtKey)
{
    return qtKey == Qt::Key_Escape || ZqPhoneWindow::toAndroidKey(qtKey) >= 0;
}

// Key events of control combinations carry control characters; they are nothing to type.
QString typedText(const QString &text)
{
    QString typed;
    for (const QChar c : text)
        if (c.category() != QChar::Other_Control || c == QLatin1Char('\t'))
            typed += c;
    return typed;
}

} // namespace

ZqPhoneWindow::ZqPhoneWindow(const QString &deviceId, const QString &deviceUcId, QWidget *parent)
    : QWidget(parent), m_deviceId(deviceId)
{
    QByteArray id, ucid;
    if (phonetext::toFixed(deviceId, phonetext::sessionDeviceIdLimit, "deviceId", &id) &&
        phonetext::toFixed(deviceUcId, phonetext::longTextLimit, "deviceUcId", &ucid))
        m_input = PhoneInput::create(ucid, id);
    setObjectName(QStringLiteral("ZqPhoneWindow"));
    setFocusPolicy(Qt::WheelFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setAttribute(Qt::WA_KeyCompression);
    installEventFilter(this);
}

int ZqPhoneWindow::toAndroidKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Backspace:
        return 67;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 66;
    case Qt::Key_Delete:
        return 112;
    case Qt::Key_Left:
        return 21;
    case Qt::Key_Up:
        return 19;
    case Qt::Key_Right:
        return 22;
    case Qt::Key_Down:
        return 20;
    default:
        return -1;
    }
}

QByteArray ZqPhoneWindow::keyPayload(int androidCode, KeyAction action)
{
    QByteArray payload(8, '\0');
    qToLittleEndian<qint32>(androidCode, payload.data());
    payload[4] = char(action);
    return payload;
}

QList<QByteArray> ZqPhoneWindow::splitUtf8(const QByteArray &utf8, int limit)
{
    QList<QByteArray> pieces;
    limit = qMax(limit, 4); // room for the longest character
    int from = 0;
    while (from < utf8.size()) {
        int end = qMin(from + limit, utf8.size());
        // Back up over continuation bytes (10xxxxxx) so that the cut falls before a lead byte.
        if (end < utf8.size()) {
            while (end > from && (uchar(utf8.at(end)) & 0xC0) == 0x80)
                --end;
            if (end == from) // not UTF-8; cut where the limit falls
                end = from + limit;
        }
        pieces.append(utf8.mid(from, end - from));
        from = end;
    }
    return pieces;
}

void ZqPhoneWindow::keep(int type, int code, const QByteArray &data, bool mirrored)
{
    const bool forSync = m_isSyncMaster && mirrored;
    if (!forSync && !m_recorder)
        return;
    SyncEvent event;
    event.type = type;
    event.code = code;
    event.length = qMin(data.size(), SyncEvent::payloadLimit);
    std::memcpy(event.data, data.constData(), size_t(event.length));
    if (forSync)
        sdkManager.recordSyncEvent(event);
    if (m_recorder && !m_recorder->add(event))
        qDebug() << "input not recorded: type" << type << "length" << data.size() << m_deviceId;
}

bool ZqPhoneWindow::maySend(const char *what) const
{
    if (!m_input) {
        qDebug() << what << "not sent: no usable phone identity," << m_deviceId.left(64);
        return false;
    }
    if (m_restricted) {
        qDebug() << what << "not sent: restricted phone" << m_deviceId;
        return false;
    }
    return true;
}

void ZqPhoneWindow::sendKey(int qtKey, KeyAction action)
{
    const int code = toAndroidKey(qtKey);
    if (code < 0 || !maySend("key"))
        return;
    qDebug() << "cc_core_send_key_event_tob,key:" << code << "action:" << int(action);
    const QByteArray payload = keyPayload(code, action);
    m_input->sendKey(payload);
    keep(SyncKey, code, payload);
}

void ZqPhoneWindow::sendText(const QString &text)
{
    const QList<QByteArray> pieces = splitUtf8(text.toUtf8());
    if (pieces.isEmpty() || !maySend("text"))
        return;
    if (pieces.size() > 1)
        qDebug() << "text of" << text.toUtf8().size() << "bytes sent in" << pieces.size() << "pieces";
    m_input->sendText(pieces);
    for (const QByteArray &piece : pieces)
        keep(SyncText, 0, piece);
}

void ZqPhoneWindow::sendFunctionKey(int code)
{
    if (m_input)
        m_input->sendFunctionKey(code);
}

bool ZqPhoneWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (event->type() == QEvent::KeyPress) {
            qDebug() << "keyPress" << key->key();
            if (key->modifiers() == Qt::ControlModifier && key->key() == Qt::Key_V)
                sendText(QApplication::clipboard()->text());
            else if (isPhoneKey(key->key()))
                sendKey(key->key(), KeyPress);
            else
                sendText(typedText(key->text()));
        } else {
            qDebug() << "keyRelease" << key->key();
            if (isPhoneKey(key->key()))
                sendKey(key->key(), KeyRelease);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ZqPhoneWindow::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    QWidget::mousePressEvent(event);
}

void ZqPhoneWindow::inputMethodEvent(QInputMethodEvent *event)
{
    qDebug() << "inputMethodEvent commit:" << event->commitString();
    sendText(event->commitString());
    QWidget::inputMethodEvent(event);
}

bool ZqPhoneWindow::focusNextPrevChild(bool)
{
    return false;
}

bool ZqPhoneWindow::event(QEvent *event)
{
    if (event->type() == CcCopyDataEvent::eventType) {
        const auto *notice = static_cast<CcCopyDataEvent *>(event);
        handleLibraryNotice(notice->dwData, notice->data);
        return true;
    }
    return QWidget::event(event);
}

void ZqPhoneWindow::handleLibraryNotice(int dwData, const QByteArray &data)
{
    switch (dwData) {
    case NoticeRotation: {
        if (data.size() < 4) {
            qDebug() << "rotation notice without a value," << data.size() << "bytes," << m_deviceId;
            return;
        }
        post(Msg::phoneRotated,
             payload::Rotation{m_deviceId, qFromLittleEndian<qint32>(data.constData())}.json());
        break;
    }
    case NoticeStreamStarted:
        qDebug() << "----------------------------------";
        break;
    case NoticeTouchUpDown:
    case NoticeTouchMove:
        if (!m_isSyncMaster && !m_recorder)
            return;
        if (data.size() > SyncEvent::payloadLimit) {
            qDebug() << "touch payload of" << data.size() << "bytes not recorded," << m_deviceId;
            return;
        }
        keep(dwData == NoticeTouchUpDown ? SyncTouchUpDown : SyncTouchMove, 0, data);
        break;
    default:
        qDebug() << "unknown library notice" << dwData << m_deviceId;
        break;
    }
}
