#pragma once

// The event in which core-client reports to a display surface: rotation (3),
// stream start (103), and the touches it has just sent (104 press/release,
// 105 move). It is posted to the surface widget and handled on the GUI thread.

#include <QByteArray>
#include <QEvent>

class CcCopyDataEvent : public QEvent
{
public:
    static constexpr QEvent::Type eventType = QEvent::Type(3000);

    CcCopyDataEvent(int dwData, const QByteArray &data) : QEvent(eventType), dwData(dwData), data(data) {}

    int dwData;
    QByteArray data;
};
