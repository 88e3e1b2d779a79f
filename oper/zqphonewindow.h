#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

class PhoneInput;
class QInputMethodEvent;
namespace macro {
class Recorder;
}

// The phone's display surface inside a control window. The phone library draws the phone's screen
// into it and turns the mouse into touches itself; this widget adds what the library leaves to us:
// keys, typed and pasted text and input-method text go to the phone through the library's key and
// text calls, and the library's notifications (rotation, stream start, the touches it sent) arrive
// here. GUI thread only.
class ZqPhoneWindow : public QWidget
{
    Q_OBJECT

public:
    // One text event carries at most this many UTF-8 bytes; longer texts go as several, in order.
    static constexpr int textPieceBytes = CC_MAX_TEXT_BYTES;

    // Key actions of the key payload.
    enum KeyAction
    {
        KeyPress = 1,
        KeyRelease = 2
    };

    ZqPhoneWindow(const QString &deviceId, const QString &deviceUcId, QWidget *parent);

    const QString &deviceId() const { return m_deviceId; }
    // False when the phone's texts do not fit the library's buffers; nothing is sent then.
    bool hasIdentity() const { return m_input != nullptr; }

    void setSyncMaster(bool master) { m_isSyncMaster = master; }
    bool isSyncMaster() const { return m_isSyncMaster; }
    // While set, every input this display sends is also kept there. The caller owns it and clears
    // it before it goes.
    void setRecorder(macro::Recorder *recorder) { m_recorder = recorder; }
    // A restricted phone is only watched: no keys or text reach it.
    void setRestricted(bool restricted) { m_restricted = restricted; }

    // Sends one key of the keyboard to the phone; keys without an Android counterpart send nothing.
    void sendKey(int qtKey, KeyAction action);
    // Types `text` into the phone's focused field. Texts longer than one text event are cut at
    // character boundaries and sent as several, in order.
    void sendText(const QString &text);
    // A navigation or volume key (Linux input code), in order with the typed input. The control
    // window decides whether the phone may take it.
    void sendFunctionKey(int code);

    // The Android key code of a keyboard key, or -1 for a key the phone does not get.
    static int toAndroidKey(int qtKey);
    // The library's 8-byte key payload: the Android code as a little-endian 32-bit integer, the
    // action byte, three zero bytes.
    static QByteArray keyPayload(int androidCode, KeyAction action);
    // `utf8` (valid UTF-8) in pieces of at most `limit` bytes, none of which splits a character.
    static QList<QByteArray> splitUtf8(const QByteArray &utf8, int limit = textPieceBytes);
    // Keeps one input the phone was sent: for the phones that mirror it when this is the sync master
    // and `mirrored`, and in the recorder while one is set. `data` must fit a SyncEvent.
    void keep(int type, int code, const QByteArray &data, bool mirrored = true);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    // Tab is a key for the phone; it never moves the focus off the display.
    bool focusNextPrevChild(bool next) override;

private:
    void handleLibraryNotice(int dwData, const QByteArray &data);
    bool maySend(const char *what) const;

    const QString m_deviceId;
    // Null when the phone's texts do not fit the library's buffers.
    std::shared_ptr<PhoneInput> m_input;
    bool m_isSyncMaster = false;
    bool m_restricted = false;
    macro::Recorder *m_recorder = nullptr;
};
