#pragma once

// The library's render child: fills the display surface, paints the phone's
// newest frame scaled to fit, and turns the mouse into touches. GUI thread;
// H.264 streams are decoded on a thread of the view's own.

#include "wire/wire.h"

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

#include <memory>

namespace cc {

class RenderView : public QWidget
{
    Q_OBJECT
public:
    RenderView(QWidget *surface, const QByteArray &deviceUcId, const QByteArray &deviceId, bool viewOnly);
    ~RenderView() override;

    // The render child of a surface, or nullptr.
    static RenderView *of(QWidget *surface);
    // Deletes every render child (cc_core_uninit).
    static void closeAll();

    int status() const { return status_; }

signals:
    // For measurements: a frame was painted; inputAck is the last touch
    // (see inputSent) the phone had applied when it drew the frame.
    void framePainted(quint32 frameSeq, quint32 inputAck, qint64 renderedAtUs);
    void inputSent(quint32 seq);
    void statusChanged(int status);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct FrameSlot;
    class VideoPipe;

    void takeFrame();
    void takePicture();
    void onFrame(const ccwire::Frame &frame);
    void showPicture(const QImage &image, const ccwire::Frame &frame);
    void onStatus(int status);
    QRect imageRect() const;
    bool toPhone(const QPoint &pos, bool clamp, quint16 *x, quint16 *y) const;
    void sendTouch(ccwire::TouchAction action, quint16 x, quint16 y);
    void notifySurface(int dwData, const QByteArray &data);

    std::shared_ptr<FrameSlot> slot_;
    std::shared_ptr<VideoPipe> video_;
    quint64 viewId_ = 0;
    quint64 linkId_ = 0;
    bool viewOnly_;
    int status_;
    QImage image_;
    QSize phoneSize_; // size of the phone's screen as it is currently turned
    int rotation_ = -1;
    bool streamAnnounced_ = false;
    quint32 frameSeq_ = 0;
    quint32 frameInputAck_ = 0;
    qint64 frameRenderedAtUs_ = 0;
    quint32 paintedSeq_ = 0;
    quint32 inputSeq_ = 0;
    bool pressed_ = false;
    QElapsedTimer gesture_;
};

} // namespace cc
