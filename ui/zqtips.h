#pragma once

#include "platform/windowmessage.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class QLabel;

// A one-line notice that closes itself after a second, or at once on a mouse or key press, and is
// then destroyed. GUI thread only; other threads ask for one with tipWindowMessage().
class ZqTips : public QWidget
{
    Q_OBJECT

public:
    static constexpr int lifetimeMs = 1000;

    explicit ZqTips(const QString &text, QWidget *parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QLabel *m_lblText;
};

// The window message that asks the main window for a tip.
inline constexpr int tipMessage = platform::textMessage;
inline constexpr int tipBufferSize = platform::textBufferSize;

// The message buffer for `text`: tipBufferSize zero-filled bytes holding its UTF-8 form, cut at a
// character boundary so that at most tipBufferSize - 1 bytes and a terminating zero remain.
QByteArray tipBuffer(const QString &text);
// The zero-terminated UTF-8 text of a tip buffer; never reads past its end.
QString tipText(const QByteArray &buffer);

// Any thread. Asks the main window to show `text` as a tip; false when there is no main window.
bool tipWindowMessage(const QString &text);
