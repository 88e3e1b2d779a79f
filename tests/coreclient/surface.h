#pragma once

// The display surface as the client has it: a window the library paints into, recording the
// library's notifications. Test thread.

#include "coreclient/cc_copydata_event.h"
#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/credential.h"

#include <QByteArray>
#include <QEvent>
#include <QImage>
#include <QList>
#include <QPair>
#include <QWidget>

namespace harness {

class Surface : public QWidget
{
public:
    Surface() { setFocusPolicy(Qt::StrongFocus); }
    // Shows the surface and connects the phone; the render child, or null.
    QWidget *connectPhone(const QByteArray &phone)
    {
        resize(360, 640);
        show();
        const QByteArray cred = credential(phone);
        if (cc_core_connect_phone_tob(cred.constData(), phone.constData(), winId(), 1, 0, 0, 0, 0, 0, 0) != 0)
            return nullptr;
        return findChild<QWidget *>(QStringLiteral("ccRenderView"));
    }
    // The colour the window shows in its middle.
    QRgb centre() const
    {
        auto *child = findChild<QWidget *>(QStringLiteral("ccRenderView"));
        return child->grab().toImage().pixel(child->width() / 2, child->height() / 2);
    }
    int count(int dwData) const
    {
        int n = 0;
        for (const auto &note : notes)
            n += note.first == dwData;
        return n;
    }
    QList<QPair<int, QByteArray>> notes;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == CcCopyDataEvent::eventType) {
            auto *copy = static_cast<CcCopyDataEvent *>(e);
            notes.append({copy->dwData, copy->data});
            return true;
        }
        return QWidget::event(e);
    }
};

} // namespace harness
